#include "ui/connect_dialog.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include "modbus/port_monitor.h"
#include "ui/window_utils.h"

namespace {
constexpr int kDialogId = 129;
// udev sends several events for one adapter; one rebuild follows them all.
constexpr int kSettleMs = 150;
}  // namespace

CConnectDialog::CConnectDialog(QWidget* parent) : CConnectDialog(parent, PortDiscoveryRoots{}) {}

CConnectDialog::CConnectDialog(QWidget* parent, const PortDiscoveryRoots& roots)
    : CConnectDialog(parent, CComPortList(roots)) {
    m_roots = roots;
    m_live = true;
    Watch(roots.virtualPorts, roots.IsLive());
}

CConnectDialog::CConnectDialog(QWidget* parent, CComPortList ports)
    : QDialog(parent), m_portList(std::move(ports)), m_ports(new QComboBox(this)) {
    Build();
}

CConnectDialog::~CConnectDialog() = default;

void CConnectDialog::Build() {
    ApplyUIFont(this);
    setWindowTitle("Connect");
    const QFont f = font();
    auto* label = new QLabel("COM Port", this);
    auto* connect = new QPushButton("Connect", this);
    auto* cancel = new QPushButton("Cancel", this);
    SetControlId(label, 1004);
    SetControlId(m_ports, 1005);
    SetControlId(connect, 1);
    SetControlId(cancel, 2);
    PlaceInDialogUnits(label, 9, 9, 88, 10);
    PlaceInDialogUnits(m_ports, 100, 7, 190, 14);
    PlaceInDialogUnits(connect, 335, 7, 50, 14);
    PlaceInDialogUnits(cancel, 335, 24, 50, 14);
    connect->setDefault(true);
    setFixedSize(DluX(f, 392), DluY(f, 46));
    QObject::connect(connect, &QPushButton::clicked, this, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    // The tool tip tells the chosen port's maker, serial number and paths.
    QObject::connect(m_ports, &QComboBox::currentIndexChanged, this, [this](int i) {
        m_ports->setToolTip(m_ports->itemData(i, Qt::ToolTipRole).toString());
    });
    ApplyDialogTexts(kDialogId, this);
}

void CConnectDialog::Watch(const std::string& virtualFolder, bool devices) {
    m_monitor = std::make_unique<CPortMonitor>(virtualFolder, devices);
    m_settle = new QTimer(this);
    m_settle->setSingleShot(true);
    m_settle->setInterval(kSettleMs);
    QObject::connect(m_settle, &QTimer::timeout, this, &CConnectDialog::Refresh);
    for (int fd : m_monitor->Descriptors()) {
        auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        QObject::connect(notifier, &QSocketNotifier::activated, this, [this] {
            if (m_monitor->Drain()) m_settle->start();
        });
    }
}

// The saved display name first; it holds volatile parts (the ttyUSB number, the pty), so the
// stable path finds the port again after a re-plug or a simulator restart.
void CConnectDialog::Fill() {
    int chosen = m_portList.FindDisplayName(m_settings.COMPortDisplayName);
    if (chosen < 0 && !m_settings.COMPortName.empty())
        chosen = m_portList.Find(m_settings.COMPortName);
    Show(chosen < 0 ? 0 : chosen);
}

void CConnectDialog::Show(int chosen) {
    m_ports->clear();
    for (int i = 0; i < m_portList.GetCount(); ++i) {
        m_ports->addItem(ToQ(m_portList.GetDisplayName(i)));
        const std::string details = PortDetailsText(m_portList.Entries()[static_cast<size_t>(i)]);
        if (!details.empty()) m_ports->setItemData(i, ToQ(details), Qt::ToolTipRole);
    }
    if (m_portList.GetCount() > 0) m_ports->setCurrentIndex(chosen);
    // The index changed before the first item had its details.
    m_ports->setToolTip(m_ports->itemData(m_ports->currentIndex(), Qt::ToolTipRole).toString());
}

void CConnectDialog::Refresh() {
    if (!m_live) return;
    const std::string current = m_portList.GetPath(m_ports->currentIndex());
    m_portList = CComPortList(m_roots);
    int chosen = current.empty() ? -1 : m_portList.Find(current);
    // The user's choice has gone: fall back to what the settings name.
    if (chosen < 0) {
        Fill();
        return;
    }
    Show(chosen);
}

bool CConnectDialog::Run(ComSettings& settings) {
    m_settings = settings;
    Fill();
    if (exec() != QDialog::Accepted) return false;
    settings = m_settings;
    return true;
}

void CConnectDialog::accept() {
    const int i = m_ports->currentIndex();
    m_settings.Mode = 0;
    m_settings.COMPortName = m_portList.GetPath(i);
    m_settings.COMPortDisplayName = m_portList.GetDisplayName(i);
    m_settings.Baudrate = 5;
    m_settings.Parity = PARITY_ODD;
    m_settings.Character = 1;
    m_settings.Stop = 0;
    m_settings.Address = 1;
    QDialog::accept();
}
