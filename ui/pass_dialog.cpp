#include "ui/pass_dialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/private_exception.h"
#include "modbus/modbus_interface.h"
#include "ui/window_utils.h"

namespace {
constexpr int kDialogId = 138;
constexpr int kPasswordMaxLength = 16;  // eight registers of two characters
}  // namespace

CPassDialog::CPassDialog(QWidget* parent)
    : QDialog(parent), m_field(new QLineEdit(this)), m_show(new QCheckBox("Show", this)) {
    ApplyUIFont(this);
    setWindowTitle("Authentication");
    const QFont f = font();
    auto* prompt = new QLabel("A password is needed to access the device.", this);
    auto* label = new QLabel("Password", this);
    auto* ok = new QPushButton("OK", this);
    auto* cancel = new QPushButton("Cancel", this);
    SetControlId(prompt, 1079);
    SetControlId(label, 1080);
    SetControlId(m_field, 1081);
    SetControlId(ok, 1);
    SetControlId(cancel, 2);
    PlaceInDialogUnits(prompt, 7, 7, 286, 10);
    PlaceInDialogUnits(label, 7, 23, 51, 10);
    PlaceInDialogUnits(m_field, 62, 21, 150, 14);
    // Hidden as typed, unless the user wants to check it; the device takes 16 characters.
    SetControlId(m_show, 1084);
    PlaceInDialogUnits(m_show, 217, 23, 76, 10);
    m_field->setEchoMode(QLineEdit::Password);
    m_field->setMaxLength(kPasswordMaxLength);
    connect(m_show, &QCheckBox::toggled, this, [this](bool on) {
        m_field->setEchoMode(on ? QLineEdit::Normal : QLineEdit::Password);
    });
    PlaceInDialogUnits(ok, 298, 7, 50, 14);
    PlaceInDialogUnits(cancel, 298, 24, 50, 14);
    ok->setDefault(true);
    setFixedSize(DluX(f, 355), DluY(f, 46));
    connect(ok, &QPushButton::clicked, this, &CPassDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    ApplyDialogTexts(kDialogId, this);
}

void CPassDialog::accept() {
    PasswordWords words{};
    const PasswordCheck check = PackPassword(FromQ(m_field->text()), words);
    if (check == PasswordCheck::Empty) return;
    if (check != PasswordCheck::Ok) {
        ShowMessage(this, g_resources.GetMessageText(PasswordErrorKey(check)), MessageIcon::Error);
        return;
    }
    m_words = words;
    QDialog::accept();
}

bool CPassDialog::Run(CModbusInterface& master) {
    if (exec() != QDialog::Accepted) {
        ShowMessage(this, g_resources.GetMessageText("stopcom"), MessageIcon::Warning);
        return false;
    }
    try {
        master.WriteAuthentication(0, 8, m_words);
        return true;
    } catch (const CPrivateException&) {
        ShowMessage(this, g_resources.GetMessageText("autherr"), MessageIcon::Error);
        return false;
    }
}
