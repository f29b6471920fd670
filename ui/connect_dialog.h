// The port question before every device command: one drop-down of the machine's serial ports.
#pragma once

#include <QDialog>
#include <memory>

#include "app/resource_database.h"
#include "app/settings.h"
#include "modbus/port_discovery.h"

class QComboBox;
class QTimer;
class CPortMonitor;

class CConnectDialog : public QDialog, public CResourceManager {
    Q_OBJECT
public:
    // The ports of the machine; the list follows adapters and simulators coming and going while
    // the dialog is open.
    explicit CConnectDialog(QWidget* parent = nullptr);
    // The ports found under the roots, followed the same way (tests point them at a fake tree).
    CConnectDialog(QWidget* parent, const PortDiscoveryRoots& roots);
    // A fixed list of ports.
    CConnectDialog(QWidget* parent, CComPortList ports);
    ~CConnectDialog() override;

    // Runs modally on a copy of the record; on Connect writes the chosen port and the fixed line
    // settings back and returns true; on Cancel leaves the record untouched.
    bool Run(ComSettings& settings);

    QComboBox* PortBox() const { return m_ports; }

    // Connect: the chosen port and the fixed line settings go into the dialog's record.
    void accept() override;

    // Builds the list anew and keeps the user's choice where that port still exists.
    void Refresh();

private:
    void Build();
    void Watch(const std::string& virtualFolder, bool devices);
    void Fill();
    void Show(int chosen);

    ComSettings m_settings;
    PortDiscoveryRoots m_roots;
    bool m_live = false;
    CComPortList m_portList;
    QComboBox* m_ports;
    std::unique_ptr<CPortMonitor> m_monitor;
    QTimer* m_settle = nullptr;
};
