// The device password window: asks for the password of a protected device and sends it.
#pragma once

#include <QDialog>

#include "app/resource_database.h"
#include "session/password.h"

class QCheckBox;
class QLineEdit;
class CModbusInterface;

class CPassDialog : public QDialog, public CResourceManager {
    Q_OBJECT
public:
    explicit CPassDialog(QWidget* parent = nullptr);

    // Runs modally; on OK sends the password with the authentication write on the open master.
    // True only when the device accepted it. Shows "autherr" when the write fails and "stopcom"
    // when the user cancels.
    bool Run(CModbusInterface& master);

    // OK: an empty field does nothing; a password that cannot be sent is refused with its
    // message and the window stays open.
    void accept() override;

    QLineEdit* Field() const { return m_field; }
    QCheckBox* ShowBox() const { return m_show; }
    const PasswordWords& Words() const { return m_words; }

private:
    QLineEdit* m_field;
    QCheckBox* m_show;
    PasswordWords m_words{};
};
