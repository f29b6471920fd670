// The window shown while a transfer runs on the worker: status text, progress bar and Cancel.
#pragma once

#include <QDialog>
#include <QString>
#include <atomic>
#include <vector>

#include "app/resource_database.h"
#include "concurrency/observer.h"
#include "session/device_session.h"

class QLabel;
class QProgressBar;

class CProgressDialog : public QDialog,
                        public CResourceManager,
                        public CObservable,
                        public TransferProgress {
    Q_OBJECT
public:
    static constexpr int kRange = 1000000000;

    explicit CProgressDialog(QWidget* parent = nullptr);

    // Runs modally: mode 0 reads from the device, 1 writes to it. Ends when the owner calls End.
    int Run(int mode);
    // Ends the modal run (the transfer's work item has finished).
    void End();

    // Any thread: waits until the UI thread has moved the bar.
    void SetProgress(double fraction) override;
    // Any thread: the status names the pass ("Step 2 of 2: ...") and the bar starts again.
    void BeginPass(int pass, int passes) override;
    bool Cancelled() const override { return m_cancelled; }

    // Cancel, Escape and the close box: ask the transfer to stop and tell the observers; the
    // window stays open until the owner ends it.
    void reject() override;

    QProgressBar* Bar() const { return m_bar; }
    QLabel* Status() const { return m_status; }
    // The status texts of the passes announced, in order.
    const std::vector<QString>& PassTexts() const { return m_passTexts; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::atomic<bool> m_cancelled{false};
    int m_mode = 0;
    QLabel* m_status;
    QProgressBar* m_bar;
    std::vector<QString> m_passTexts;
};
