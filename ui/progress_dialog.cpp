#include "ui/progress_dialog.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <cmath>

#include "concurrency/observer_proxy_ui.h"
#include "platform/message_format.h"
#include "ui/window_utils.h"

namespace {
constexpr int kDialogId = 133;
}

CProgressDialog::CProgressDialog(QWidget* parent)
    : QDialog(parent), m_status(new QLabel(this)), m_bar(new QProgressBar(this)) {
    ApplyUIFont(this);
    setWindowTitle("Progress");
    const QFont f = font();
    auto* cancel = new QPushButton("Cancel", this);
    SetControlId(m_status, 1015);
    SetControlId(m_bar, 1016);
    SetControlId(cancel, 2);
    PlaceInDialogUnits(m_status, 7, 7, 202, 10);
    PlaceInDialogUnits(m_bar, 7, 23, 202, 14);
    PlaceInDialogUnits(cancel, 82, 45, 50, 14);
    m_bar->setRange(0, kRange);
    m_bar->setTextVisible(false);
    setFixedSize(DluX(f, 216), DluY(f, 66));
    connect(cancel, &QPushButton::clicked, this, &CProgressDialog::reject);
    ApplyDialogTexts(kDialogId, this);
}

int CProgressDialog::Run(int mode) {
    m_mode = mode;
    m_status->setText(ToQ(g_resources.GetMessageText(mode == 0 ? "uploading" : "downloading")));
    return exec();
}

void CProgressDialog::End() {
    QDialog::done(QDialog::Rejected);
}

void CProgressDialog::SetProgress(double fraction) {
    const int p = static_cast<int>(std::trunc(std::clamp(fraction, 0.0, 1.0) * kRange));
    auto update = [this, p] {
        // Stepping back and forth makes the bar show the position at once instead of animating.
        m_bar->setValue(p);
        m_bar->setValue(p - 1);
        m_bar->setValue(p);
    };
    if (thread() == QThread::currentThread())
        update();
    else
        SendBlocking(this, update);
}

void CProgressDialog::BeginPass(int pass, int passes) {
    auto update = [this, pass, passes] {
        const char* what = pass > 1 ? "verifying" : (m_mode == 0 ? "uploading" : "downloading");
        const QString text =
            ToQ(platform::FormatMessageText(g_resources.GetMessageText("passof"),
                                            {pass, passes, g_resources.GetMessageText(what)}));
        m_passTexts.push_back(text);
        m_status->setText(text);
        if (pass > 1) m_bar->setValue(0);
    };
    if (thread() == QThread::currentThread())
        update();
    else
        SendBlocking(this, update);
}

void CProgressDialog::reject() {
    m_cancelled = true;
    Notify(this);
}

void CProgressDialog::closeEvent(QCloseEvent* event) {
    event->ignore();
    reject();
}
