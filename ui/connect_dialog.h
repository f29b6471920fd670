// The port question before every device command: one drop-down of the machine's serial ports.
#pragma once

#include <QDialog>

#include "app/resource_database.h"
#include "app/settings.h"
#include "modbus/port_discovery.h"

class QComboBox;

class CConnectDialog : public QDialog, public CResourceManager {
    Q_OBJECT
public:
    // The port list is built with the dialog, so it shows the ports present at that moment.
    explicit CConnectDialog(QWidget* parent = nullptr, CComPortList ports = CComPortList());

    // Runs modally on a copy of the record; on Connect writes the chosen port and the fixed line
    // settings back and returns true; on Cancel leaves the record untouched.
    bool Run(ComSettings& settings);

    QComboBox* PortBox() const { return m_ports; }

    // Connect: the chosen port and the fixed line settings go into the dialog's record.
    void accept() override;

private:
    void Fill();

    ComSettings m_settings;
    CComPortList m_portList;
    QComboBox* m_ports;
};
