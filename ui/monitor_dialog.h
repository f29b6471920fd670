// The monitor: polls the device's monitor model once a second on the background worker, shows it
// in a parameter list with a status line and a lamp, and writes operation values that the user
// commits in the list.
#pragma once

#include <QColor>
#include <QDialog>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "app/resource_database.h"
#include "concurrency/observer.h"
#include "concurrency/observer_proxy_ui.h"
#include "concurrency/simple_functor.h"
#include "model/dev_interface.h"
#include "session/monitor_record.h"

class QCheckBox;
class QLabel;
class QMenu;
class QPushButton;
class CModbusInterface;
class CParameterListCtrl;
class CTrendChart;

// The status lamp: a circle of its colour on white.
class CLedIndicator : public QWidget {
    Q_OBJECT
public:
    explicit CLedIndicator(QWidget* parent = nullptr) : QWidget(parent) {}

    void SetColor(const QColor& color);
    QColor Color() const { return m_color; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_color{0, 0, 0};
};

enum MonitorState : int { MON_NONE = 0, MON_OK = 1, MON_ERROR = 2 };

// Poll period and status-lamp period; tests shorten them.
struct MonitorTimings {
    int pollMs = 1000;
    int statusMs = 250;
};

class CMonitorDialog : public QDialog, public CResourceManager, public CObserver {
    Q_OBJECT
public:
    static const QColor kLampOk;
    static const QColor kLampError;
    static const QColor kTextOk;
    static const QColor kTextError;

    explicit CMonitorDialog(QWidget* parent = nullptr, MonitorTimings timings = {});
    // Waits for any poll or write of this dialog still queued or running on the worker.
    ~CMonitorDialog() override;

    // Polls the device on the master (not owned) until the user closes the window; returns
    // QDialog::Rejected.
    int Run(CModbusInterface& master);
    // Takes effect at the next start of a timer; a running one restarts with the new period.
    void SetTimings(MonitorTimings timings);
    // Shows the traffic window of the master; without one the window offers no traffic button.
    void SetTrafficOpener(std::function<void()> opener);

    // Completions of the work items (through the proxy) and committed edits of the list.
    void Update(CObservable* source) override;

    // Escape, the close box: asks the running poll to stop; the window ends at the next tick of
    // the poll timer once nothing of its own runs on the worker.
    void reject() override;
    // However the run ends, polling stops with it.
    void done(int result) override;
    // Enter: opens the editor of the selected row when the list has the focus; never closes.
    void accept() override;

    // The timer handlers.
    void OnPollTimer();
    void OnStatusTimer();

    MonitorState State() const { return m_state; }
    uint16_t ShownType() const { return m_shownType; }
    bool Closing() const { return m_closing; }
    const std::shared_ptr<CDevInterface>& Device() const { return m_device; }
    CParameterListCtrl* List() const { return m_list; }
    QCheckBox* OperationsBox() const { return m_operationsBox; }
    QLabel* Status() const { return m_status; }
    CLedIndicator* Led() const { return m_led; }
    QPushButton* ActionButton() const { return m_actionButton; }
    // Shown in place of the action button after the user declined the password.
    QPushButton* UnlockButton() const { return m_unlockButton; }
    // Why the last poll failed, or what became of a failed operation write.
    QLabel* Reason() const { return m_reason; }
    QPushButton* TrafficButton() const { return m_trafficButton; }
    // The statistics of this run under the list.
    QLabel* StatisticsLine() const { return m_statsLine; }
    int Polls() const { return m_polls; }
    // Whether the status text is drawn white on red (an error, on a blink tick).
    bool StatusInverted() const;

    // The trend chart beside the list; the window grows to the side while it is shown, and the
    // choice is remembered.
    void SetChartShown(bool shown);
    bool ChartShown() const;
    CTrendChart* TrendChart() const { return m_chart; }
    // Recording every poll to a CSV file; an error of the file stops it with a message.
    void StartRecording(const std::string& path);
    void StopRecording();
    bool Recording() const { return m_recorder != nullptr; }
    QLabel* RecordLabel() const { return m_recordLabel; }
    QPushButton* RecordButton() const { return m_recordButton; }
    // The list's context menu for a parameter (-1: none); the caller owns it.
    QMenu* ListMenu(int index);
    // Where "Record..." gets its file name: (title, filter) -> path, empty when cancelled.
    using FileChooser = std::function<std::string(const QString& title, const QString& filter)>;
    void SetFileChooser(FileChooser chooser) { m_fileChooser = std::move(chooser); }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Worker side.
    void Poll();
    void WriteOperations();
    bool TakeWrite(CParValue& value);

    // Whether a poll or a write of this dialog is queued or running on the worker.
    bool WorkerBusy() const;
    void OnUnlockButton();
    void ShowReason();
    // Asks before an operation that restarts the device; false drops it.
    bool ConfirmOperation(const CParValue& value);
    int OperationAt(uint16_t address) const;
    void PollFinished();
    void QueueOperations();
    void AskPassword();
    void SetUpActionButton(const CDevInterface& model);
    void OnActionButton();
    void PaintStatus(bool error);
    void SetUpChart();
    int IndexAt(const QPoint& at) const;
    void TrendPoll(bool ok);
    void ChooseRecording();
    void ShowRecording();
    void ShowStatistics();

    MonitorTimings m_timings;
    CObserverProxyUI m_proxy;
    CSimpleFunctor m_pollItem{this, &CMonitorDialog::Poll};
    CSimpleFunctor m_operationItem{this, &CMonitorDialog::WriteOperations};

    std::shared_ptr<CDevInterface> m_device;  // UI thread
    std::shared_ptr<CDevInterface> m_polled;  // the worker's last good model, taken on completion
    std::mutex m_writeMutex;
    std::deque<CParValue> m_writeQueue;  // under m_writeMutex

    CParameterListCtrl* m_list;
    QCheckBox* m_operationsBox;
    CLedIndicator* m_led;
    QLabel* m_status;
    QPushButton* m_actionButton;
    QPushButton* m_unlockButton;
    QLabel* m_reason;
    QPushButton* m_chartButton;
    QWidget* m_chartPanel;
    CTrendChart* m_chart;
    QPushButton* m_recordButton;
    QLabel* m_recordLabel;
    std::unique_ptr<CMonitorRecorder> m_recorder;
    std::string m_recordStopped;  // the last recording's end, shown until the next one
    FileChooser m_fileChooser;
    MonitorClock::time_point m_polledAt;  // of m_polled
    QLabel* m_statsLine;
    QPushButton* m_trafficButton;
    std::function<void()> m_trafficOpener;
    int m_polls = 0;  // UI thread: polls finished in this run
    QTimer m_pollTimer;
    QTimer m_statusTimer;

    CModbusInterface* m_master = nullptr;
    std::atomic<bool> m_closing{false};
    std::atomic<bool> m_protected{false};
    std::atomic<MonitorState> m_state{MON_NONE};
    std::atomic<int> m_blinkCount{0};
    bool m_actionRunning = false;
    bool m_passwordDeclined = false;  // no more questions until the user asks to unlock
    std::string m_pollFailure;        // worker: written before the poll's completion
    std::string m_writeFailure;       // under m_writeMutex
    uint16_t m_failedAddress = 0;     // under m_writeMutex
    std::string m_pollReason;         // UI thread: the last poll's failure, as shown
    std::string m_writeNote;          // UI thread: the last failed write, as shown
    uint16_t m_shownType = 0;
    bool m_blink = false;
};
