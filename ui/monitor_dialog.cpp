#include "ui/monitor_dialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

#include "app/private_exception.h"
#include "app/settings.h"
#include "concurrency/background_executor.h"
#include "modbus/modbus_interface.h"
#include "session/device_session.h"
#include "ui/parameter_list.h"
#include "ui/pass_dialog.h"
#include "ui/trend_chart.h"
#include "ui/window_utils.h"

namespace {
constexpr int kDialogId = 134;
constexpr int kListId = 1000;
constexpr int kStatusId = 1015;
constexpr int kOperationsBoxId = 1077;
constexpr int kLedId = 1078;
constexpr int kActionButtonId = 1082;

// The window in dialog units, and the chart beside the list when it is shown.
constexpr int kWidth = 366;
constexpr int kHeight = 437;  // with the statistics row under the status row
constexpr int kChartWidth = 320;

constexpr const char* kChartShownSetting = "MonitorChart";
constexpr const char* kChartMinutesSetting = "MonitorChartMinutes";

QString Text(const char* key, std::initializer_list<platform::FormatArg> args = {}) {
    return ToQ(platform::FormatMessageText(g_resources.GetMessageText(key), args));
}

const QColor kWhite(255, 255, 255);

// One line on why a poll failed, in the user's language: a silent line and a locked device in
// few words, anything else with its own text.
std::string FailureReason(const CPrivateException& e) {
    if (e.IsProtect()) return g_resources.GetMessageText("mon.why.protect");
    std::string text = e.Message();
    const std::string timeout = g_resources.GetMessageText("mbio.timeout");
    if (!timeout.empty() && text.ends_with(timeout))
        return g_resources.GetMessageText("mon.why.silent");
    std::replace(text.begin(), text.end(), '\r', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}
}  // namespace

const QColor CMonitorDialog::kLampOk(150, 150, 255);
const QColor CMonitorDialog::kLampError(255, 0, 0);
const QColor CMonitorDialog::kTextOk(0, 0, 255);
const QColor CMonitorDialog::kTextError(255, 0, 0);

// ---- the lamp ----

void CLedIndicator::SetColor(const QColor& color) {
    m_color = color;
    update();
}

void CLedIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kWhite);
    const int d = std::min(width(), height());
    if (d <= 0) return;
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(m_color);
    // Half a pixel in, so that the outline stays inside the d x d square.
    painter.drawEllipse(QRectF((width() - d) / 2 + 0.5, (height() - d) / 2 + 0.5, d - 1, d - 1));
}

// ---- construction ----

CMonitorDialog::CMonitorDialog(QWidget* parent, MonitorTimings timings)
    : QDialog(parent),
      m_timings(timings),
      m_list(new CParameterListCtrl(this)),
      m_operationsBox(new QCheckBox("Enable change operations", this)),
      m_led(new CLedIndicator(this)),
      m_status(new QLabel(this)),
      m_actionButton(new QPushButton(this)),
      m_unlockButton(new QPushButton(this)),
      m_reason(new QLabel(this)),
      m_chartButton(new QPushButton(this)),
      m_chartPanel(new QWidget(this)),
      m_chart(new CTrendChart(m_chartPanel)),
      m_recordButton(new QPushButton(m_chartPanel)),
      m_recordLabel(new QLabel(m_chartPanel)),
      m_statsLine(new QLabel(this)),
      m_trafficButton(new QPushButton(this)) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    ApplyUIFont(this);
    setWindowTitle("Monitor");
    QPalette white = palette();
    white.setColor(QPalette::Window, kWhite);
    setPalette(white);
    setAutoFillBackground(true);

    SetControlId(m_list, kListId);
    SetControlId(m_status, kStatusId);
    SetControlId(m_operationsBox, kOperationsBoxId);
    SetControlId(m_led, kLedId);
    SetControlId(m_actionButton, kActionButtonId);
    // One line under the list says why the device does not answer.
    PlaceInDialogUnits(m_list, 7, 7, 352, 385);
    PlaceInDialogUnits(m_reason, 9, 393, 350, 9);
    PlaceInDialogUnits(m_unlockButton, 309, 403, 50, 14);
    PlaceInDialogUnits(m_led, 9, 406, 8, 8);
    PlaceInDialogUnits(m_status, 22, 405, 93, 9);
    PlaceInDialogUnits(m_operationsBox, 165, 405, 89, 10);
    PlaceInDialogUnits(m_actionButton, 309, 403, 50, 14);
    m_status->setAlignment(Qt::AlignCenter);
    m_led->setAttribute(Qt::WA_OpaquePaintEvent);
    m_actionButton->setAutoDefault(false);
    m_actionButton->hide();
    m_unlockButton->setAutoDefault(false);
    m_unlockButton->hide();
    QPalette red = m_reason->palette();
    red.setColor(QPalette::WindowText, kTextError);
    m_reason->setPalette(red);
    // The statistics of the run in a row of their own under the status row.
    PlaceInDialogUnits(m_statsLine, 9, 420, 296, 9);
    PlaceInDialogUnits(m_trafficButton, 309, 418, 50, 14);
    m_trafficButton->setAutoDefault(false);
    m_trafficButton->hide();
    connect(m_trafficButton, &QPushButton::clicked, this, [this] {
        if (m_trafficOpener) m_trafficOpener();
    });
    auto* trafficKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_T), this);
    connect(trafficKey, &QShortcut::activated, this, [this] {
        if (m_trafficOpener) m_trafficOpener();
    });
    const QFont f = font();
    setFixedSize(DluX(f, kWidth), DluY(f, kHeight));
    // Blocks no other window (the main window is hidden meanwhile): the traffic window must stay
    // usable beside the monitor.
    setWindowModality(Qt::WindowModal);
    ApplyDialogTexts(kDialogId, this);
    SetUpChart();

    m_pollTimer.setSingleShot(true);
    m_pollTimer.setInterval(m_timings.pollMs);
    m_statusTimer.setInterval(m_timings.statusMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &CMonitorDialog::OnPollTimer);
    connect(&m_statusTimer, &QTimer::timeout, this, &CMonitorDialog::OnStatusTimer);
    connect(m_operationsBox, &QCheckBox::toggled, this,
            [this](bool on) { m_list->SetOperationsEnabled(on); });
    connect(m_actionButton, &QPushButton::clicked, this, &CMonitorDialog::OnActionButton);
    connect(m_unlockButton, &QPushButton::clicked, this, &CMonitorDialog::OnUnlockButton);

    m_proxy.AddObserver(this);
    m_list->AddObserver(this);
    m_pollItem.AddObserver(&m_proxy);
}

CMonitorDialog::~CMonitorDialog() {
    m_pollTimer.stop();
    m_statusTimer.stop();
    m_closing = true;
    // Normally nothing runs any more once Run has returned; otherwise the items still point here.
    if (m_master && WorkerBusy()) m_master->Cancel();
    g_executor.WaitUntilDone(&m_pollItem);
    g_executor.WaitUntilDone(&m_operationItem);
}

bool CMonitorDialog::WorkerBusy() const {
    return g_executor.Holds(&m_pollItem) || g_executor.Holds(&m_operationItem);
}

void CMonitorDialog::SetTrafficOpener(std::function<void()> opener) {
    m_trafficOpener = std::move(opener);
    m_trafficButton->setText(ToQ(g_resources.GetMessageText("traffic.open")));
    m_trafficButton->setVisible(static_cast<bool>(m_trafficOpener));
}

void CMonitorDialog::ShowStatistics() {
    if (!m_master) return;
    const modbus::TrafficStatistics s = m_master->SessionStatistics();
    m_statsLine->setText(
        ToQ(CPrivateException(
                CPrivateException::Key{"stat.monitor"},
                {modbus::GroupedNumber(static_cast<uint64_t>(m_polls)),
                 modbus::GroupedNumber(s.timeouts), modbus::GroupedNumber(s.checksumErrors),
                 int64_t{static_cast<int64_t>(s.MeanResponseMs() + 0.5)}})
                .Message()));
}

void CMonitorDialog::SetTimings(MonitorTimings timings) {
    m_timings = timings;
    m_pollTimer.setInterval(timings.pollMs);
    m_statusTimer.setInterval(timings.statusMs);
}

int CMonitorDialog::Run(CModbusInterface& master) {
    m_master = &master;
    m_list->Initialize();
    m_operationsBox->setChecked(false);
    m_list->SetOperationsEnabled(false);
    m_state = MON_NONE;
    m_statusTimer.start();
    m_closing = false;
    m_actionRunning = false;
    m_protected = false;
    m_passwordDeclined = false;
    m_pollReason.clear();
    m_writeNote.clear();
    m_unlockButton->hide();
    ShowReason();
    m_shownType = 0;
    m_blinkCount = 0;
    m_blink = false;
    m_polls = 0;
    master.BeginStatisticsSession();
    ShowStatistics();
    unsetCursor();
    g_executor.Execute(&m_pollItem);
    return exec();
}

// ---- the worker's side ----

void CMonitorDialog::Poll() {
    m_protected = false;
    try {
        m_polled = PollMonitor(*m_master, &m_closing);
        m_polledAt = MonitorClock::now();
        m_pollFailure.clear();
        m_state = MON_OK;
        m_blinkCount = 2;
    } catch (const CPrivateException& e) {
        // A poll cut short by closing says nothing about the device.
        if (m_closing) return;
        m_pollFailure = FailureReason(e);
        m_state = MON_ERROR;
        m_protected = e.IsProtect();
    } catch (const std::exception& e) {
        if (m_closing) return;
        m_pollFailure = e.what();
        m_state = MON_ERROR;
    }
}

bool CMonitorDialog::TakeWrite(CParValue& value) {
    std::lock_guard lock(m_writeMutex);
    if (m_writeQueue.empty()) return false;
    value = m_writeQueue.front();
    m_writeQueue.pop_front();
    return true;
}

void CMonitorDialog::WriteOperations() {
    CParValue value;
    try {
        m_master->Open();
        while (TakeWrite(value))
            m_master->WriteMultipleRegisters(value.Address(), value.Count(), value.Words());
    } catch (const std::exception& e) {
        // The values were meant for now: sending the rest later, with some other edit, would
        // switch outputs the user no longer expects. The next poll shows the device's state.
        std::lock_guard lock(m_writeMutex);
        m_writeQueue.clear();
        m_writeFailure = e.what();
        m_failedAddress = value.Address();
    }
    try {
        m_master->Close();
    } catch (const std::exception&) {
    }
}

// ---- the UI thread's side ----

void CMonitorDialog::Update(CObservable* source) {
    if (source == &m_pollItem) {
        PollFinished();
    } else if (source == static_cast<CObservable*>(m_list)) {
        QueueOperations();
    }
}

void CMonitorDialog::PollFinished() {
    ++m_polls;
    ShowStatistics();
    if (m_polled) m_device = std::move(m_polled);
    if (m_device && m_state == MON_OK) {
        const uint16_t type = m_device->TypeCode();
        if (type != m_shownType) SetUpActionButton(*m_device);
        m_list->SetModel(m_device, type != m_shownType);
        m_shownType = type;
    }
    if (!m_closing) TrendPoll(m_device && m_state == MON_OK);
    if (m_state == MON_OK && m_passwordDeclined) {
        // Unlocked some other way: the button is no longer needed.
        m_passwordDeclined = false;
        m_unlockButton->hide();
        if (m_device) SetUpActionButton(*m_device);
    }
    m_pollReason = m_state == MON_ERROR ? m_pollFailure : std::string();
    std::string failure;
    uint16_t address = 0;
    {
        std::lock_guard lock(m_writeMutex);
        std::swap(failure, m_writeFailure);
        address = m_failedAddress;
    }
    if (!failure.empty()) {
        // Once, under the list: a message box for every lost switch would pile up.
        const int index = OperationAt(address);
        const std::string label = index >= 0 ? m_device->At(index).GetLabel() : std::string();
        m_writeNote =
            CPrivateException(CPrivateException::Key{"mon.writefail"}, {label, failure}).Message();
        std::replace(m_writeNote.begin(), m_writeNote.end(), '\n', ' ');
    }
    ShowReason();
    if (m_protected && !m_passwordDeclined) AskPassword();
    m_list->SetForceText();
    m_list->SetLocked(m_state == MON_ERROR);
    m_pollTimer.start(m_timings.pollMs);
}

void CMonitorDialog::AskPassword() {
    // A write still queued would use the master on the worker at the same time; the device
    // keeps refusing, so the next poll asks again.
    if (g_executor.Holds(&m_operationItem)) return;
    CPassDialog pass(this);
    try {
        m_master->Open();
        pass.Run(*m_master);
    } catch (const std::exception&) {
        // The password window has said all there is to say.
    }
    try {
        m_master->Close();
    } catch (const std::exception&) {
    }
    // Cancelled: asking again every second would leave the user no way out but closing.
    m_passwordDeclined = pass.result() != QDialog::Accepted;
    m_unlockButton->setText(ToQ(g_resources.GetMessageText("mon.unlock")));
    m_unlockButton->setVisible(m_passwordDeclined);
    if (m_passwordDeclined) m_actionButton->hide();
}

void CMonitorDialog::OnUnlockButton() {
    // The password goes to the device on this thread: never while an item uses the master.
    if (WorkerBusy() || m_actionRunning || m_closing) return;
    m_actionRunning = true;  // polls wait meanwhile
    AskPassword();
    m_actionRunning = false;
}

void CMonitorDialog::ShowReason() {
    const QString full = ToQ(!m_pollReason.empty() ? m_pollReason : m_writeNote);
    m_reason->setText(m_reason->fontMetrics().elidedText(full, Qt::ElideRight, m_reason->width()));
    m_reason->setToolTip(m_reason->text() == full ? QString() : full);
}

int CMonitorDialog::OperationAt(uint16_t address) const {
    if (!m_device) return -1;
    for (int i = 0; i < m_device->Count(); ++i) {
        const CParInterface& p = m_device->At(i);
        if ((p.Flags() & PARF_OPERATION) && p.Value().Count() > 0 && p.Value().Address() == address)
            return i;
    }
    return -1;
}

bool CMonitorDialog::ConfirmOperation(const CParValue& value) {
    const int index = OperationAt(value.Address());
    if (index < 0 || !m_device->Is(index, "resetcmd")) return true;
    bool none = true;
    for (size_t k = 0; k < value.Count(); ++k) none = none && value.Word(k) == 0;
    if (none) return true;  // "No command" changes nothing
    CParInterface command = m_device->At(index);
    command.SetValue(value);
    const std::string question =
        CPrivateException(CPrivateException::Key{"mon.askreset"}, {command.GetText()}).Message();
    return Ask(this, question, Question::YesNo) == Answer::Yes;
}

void CMonitorDialog::QueueOperations() {
    if (!m_list->HasPendingOperations()) return;
    std::vector<CParValue> pending;
    while (m_list->HasPendingOperations()) {
        CParValue value = m_list->PopOperation();
        if (value.Count() > 0) pending.push_back(value);
    }
    m_writeNote.clear();
    // Asked before anything is queued: the question runs its own event loop.
    bool any = false;
    for (const CParValue& value : pending) {
        if (!ConfirmOperation(value)) continue;
        std::lock_guard lock(m_writeMutex);
        m_writeQueue.push_back(value);
        any = true;
    }
    ShowReason();
    if (!any) {
        m_list->SetForceText();  // the next poll shows the device's value again
        return;
    }
    g_executor.Execute(&m_operationItem);
}

void CMonitorDialog::SetUpActionButton(const CDevInterface& model) {
    if (model.HasMonitorAction()) {
        m_actionButton->setText(ToQ(model.MonitorActionCaption()));
        m_actionButton->show();
    } else {
        m_actionButton->hide();
    }
}

void CMonitorDialog::OnActionButton() {
    if (!m_device || m_state != MON_OK || !m_master) return;
    // The action talks to the device itself: never while an item uses the master.
    if (WorkerBusy() || m_actionRunning) return;
    m_actionRunning = true;
    // Hiding a dialog ends its modal run in Qt; minimising keeps the run going.
    showMinimized();
    try {
        m_device->RunMonitorAction(*m_master);
    } catch (const std::exception&) {
    }
    showNormal();
    m_actionRunning = false;
}

void CMonitorDialog::OnPollTimer() {
    m_pollTimer.stop();
    if (m_actionRunning) {
        m_pollTimer.start(m_timings.pollMs);
    } else if (m_closing) {
        // The write item points at this dialog: it must have run before the dialog ends.
        if (g_executor.Holds(&m_operationItem)) {
            m_pollTimer.start(m_timings.pollMs);
            return;
        }
        m_statusTimer.stop();
        if (isVisible()) QDialog::reject();  // not when the run was ended from outside
    } else {
        g_executor.Execute(&m_pollItem);
    }
}

void CMonitorDialog::OnStatusTimer() {
    const MonitorState state = m_state;
    const char* key = "mon.null";
    if (state == MON_OK) {
        key = "mon.ok";
        int before = m_blinkCount.load();
        // A poll may set the count meanwhile; its new value must not be lost.
        while (before > 0 && !m_blinkCount.compare_exchange_weak(before, before - 1)) {
        }
        m_blink = before > 1;
    } else if (state == MON_ERROR) {
        key = "mon.err";
        m_blinkCount = 0;
        m_blink = !m_blink;
    } else {
        m_blink = false;
    }
    m_status->setText(ToQ(g_resources.GetMessageText(key)));
    PaintStatus(state == MON_ERROR);
    if (m_blink)
        m_led->SetColor(state == MON_ERROR ? kLampError : kLampOk);
    else
        m_led->SetColor(kWhite);
}

void CMonitorDialog::PaintStatus(bool error) {
    QPalette p = m_status->palette();
    const bool inverted = error && m_blink;
    p.setColor(QPalette::WindowText, inverted ? kWhite : error ? kTextError : kTextOk);
    p.setColor(QPalette::Window, kTextError);
    m_status->setPalette(p);
    m_status->setAutoFillBackground(inverted);
}

bool CMonitorDialog::StatusInverted() const {
    return m_status->autoFillBackground();
}

void CMonitorDialog::reject() {
    if (m_closing) return;
    m_closing = true;
    if (m_master) m_master->Cancel();
    setCursor(Qt::WaitCursor);
}

void CMonitorDialog::done(int result) {
    m_closing = true;
    m_pollTimer.stop();
    m_statusTimer.stop();
    QDialog::done(result);
}

void CMonitorDialog::accept() {
    if (focusWidget() == m_list) m_list->OpenEditor(-1, false);
}

void CMonitorDialog::closeEvent(QCloseEvent* event) {
    event->ignore();
    reject();
}

// ---- the trend chart and the recording ----

void CMonitorDialog::SetUpChart() {
    const QFont f = font();
    PlaceInDialogUnits(m_chartButton, 117, 403, 45, 14);
    m_chartButton->setCheckable(true);
    m_chartButton->setAutoDefault(false);
    m_chartPanel->setGeometry(DluX(f, kWidth), DluY(f, 7), DluX(f, kChartWidth - 7),
                              DluY(f, kHeight - 12));
    auto* layout = new QVBoxLayout(m_chartPanel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_chart, 1);
    auto* row = new QHBoxLayout;
    row->addWidget(m_recordButton);
    row->addWidget(m_recordLabel, 1);
    layout->addLayout(row);
    m_recordButton->setAutoDefault(false);
    m_recordLabel->setWordWrap(true);
    m_chartPanel->hide();

    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_list, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        std::unique_ptr<QMenu> menu(ListMenu(IndexAt(at)));
        menu->exec(m_list->viewport()->mapToGlobal(at));
    });
    connect(m_chartButton, &QPushButton::toggled, this, [this](bool on) { SetChartShown(on); });
    connect(m_recordButton, &QPushButton::clicked, this,
            [this] { Recording() ? StopRecording() : ChooseRecording(); });
    connect(m_chart, &CTrendChart::WindowChanged, this,
            [](int minutes) { SavePreference(kChartMinutesSetting, minutes); });
    m_chart->SetWindowMinutes(LoadPreference(kChartMinutesSetting, 10));
    SetChartShown(LoadPreference(kChartShownSetting, 0) != 0);
    ShowRecording();
}

void CMonitorDialog::SetChartShown(bool shown) {
    const QFont f = font();
    m_chartPanel->setVisible(shown);
    setFixedSize(DluX(f, kWidth + (shown ? kChartWidth : 0)), DluY(f, kHeight));
    // Growing to the side must not push the window off the screen.
    if (isVisible() && screen()) {
        const QRect free = screen()->availableGeometry();
        const int overflow = frameGeometry().right() - free.right();
        if (overflow > 0) move(std::max(free.left(), x() - overflow), y());
    }
    if (m_chartButton->isChecked() != shown) {
        const QSignalBlocker quiet(m_chartButton);
        m_chartButton->setChecked(shown);
    }
    m_chartButton->setText(Text("mon.chart"));
    SavePreference(kChartShownSetting, shown ? 1 : 0);
}

bool CMonitorDialog::ChartShown() const {
    return m_chartPanel->isVisibleTo(this);
}

int CMonitorDialog::IndexAt(const QPoint& at) const {
    QTreeWidgetItem* item = m_list->itemAt(at);
    for (int row = 0; item && row < m_list->RowCount(); ++row)
        if (m_list->RowItem(row) == item) return m_list->ParameterOfRow(row);
    return -1;
}

QMenu* CMonitorDialog::ListMenu(int index) {
    auto* menu = new QMenu(this);
    if (m_device && CTrendChart::CanShow(*m_device, index)) {
        QAction* inChart = menu->addAction(Text("mon.showinchart"));
        inChart->setCheckable(true);
        inChart->setChecked(m_chart->IsShown(m_device->At(index).Key()));
        connect(inChart, &QAction::toggled, this, [this, index](bool on) {
            if (!m_device) return;
            m_chart->SetShown(*m_device, index, on);
            if (on) SetChartShown(true);
        });
    }
    QAction* chart = menu->addAction(Text("mon.showchart"));
    chart->setCheckable(true);
    chart->setChecked(ChartShown());
    connect(chart, &QAction::toggled, this, [this](bool on) { SetChartShown(on); });
    QAction* record = menu->addAction(Text(Recording() ? "mon.stoprecord" : "mon.record"));
    connect(record, &QAction::triggered, this,
            [this] { Recording() ? StopRecording() : ChooseRecording(); });
    return menu;
}

void CMonitorDialog::ChooseRecording() {
    const QString title = Text("mon.record").remove("...").remove(QChar(0x2026));
    const QString filter = FileDialogFilter(g_resources.GetMessageText("mon.recfilter"));
    std::string path;
    if (m_fileChooser) {
        path = m_fileChooser(title, filter);
    } else {
        QFileDialog dialog(this, title, FileDialogFolder(), filter);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDefaultSuffix("csv");
        // Appending to a recording is the point: no "replace?" question.
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            path = FromQ(dialog.selectedFiles().first());
    }
    RememberFileDialogFolder(path);
    if (!path.empty()) StartRecording(path);
}

void CMonitorDialog::StartRecording(const std::string& path) {
    m_recorder = std::make_unique<CMonitorRecorder>(path);
    m_recordStopped.clear();
    // Where the recording goes must be seen while it runs.
    SetChartShown(true);
    ShowRecording();
}

void CMonitorDialog::StopRecording() {
    if (!m_recorder) return;
    m_recordStopped = FromQ(Text("mon.recstopped", {m_recorder->CurrentPath()}));
    m_recorder.reset();
    ShowRecording();
}

void CMonitorDialog::TrendPoll(bool ok) {
    const MonitorClock::time_point when = ok ? m_polledAt : MonitorClock::now();
    if (ok)
        m_chart->AddPoll(*m_device, when);
    else
        m_chart->AddFailedPoll(when);
    if (!m_recorder) return;
    try {
        if (ok)
            m_recorder->AddPoll(*m_device, when);
        else
            m_recorder->AddFailedPoll(when);
    } catch (const CPrivateException& e) {
        m_recorder.reset();
        m_recordStopped = e.Message();
        ShowError(this, e.Message());
    }
    ShowRecording();
}

void CMonitorDialog::ShowRecording() {
    m_recordButton->setText(Text(Recording() ? "mon.stoprecord" : "mon.record"));
    m_chartButton->setText(Text("mon.chart"));
    if (m_recorder) {
        const std::string& path = m_recorder->CurrentPath();
        m_recordLabel->setText(
            Text("mon.recording", {path.substr(path.rfind('/') + 1), m_recorder->Lines()}));
        m_recordLabel->setToolTip(ToQ(path));
    } else {
        m_recordLabel->setText(ToQ(m_recordStopped));
        m_recordLabel->setToolTip({});
    }
}
