#include "ui/connect_dialog.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "ui/window_utils.h"

namespace {
constexpr int kDialogId = 129;
}

CConnectDialog::CConnectDialog(QWidget* parent, CComPortList ports)
    : QDialog(parent), m_portList(std::move(ports)), m_ports(new QComboBox(this)) {
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
    ApplyDialogTexts(kDialogId, this);
}

void CConnectDialog::Fill() {
    m_ports->clear();
    int chosen = 0;
    for (int i = 0; i < m_portList.GetCount(); ++i) {
        m_ports->addItem(ToQ(m_portList.GetDisplayName(i)));
        if (m_portList.GetDisplayName(i) == m_settings.COMPortDisplayName) chosen = i;
    }
    if (m_portList.GetCount() > 0) m_ports->setCurrentIndex(chosen);
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
