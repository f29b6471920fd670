// The Configurator's main window: the current model in a list, five commands across the top,
// the model menu, and the device transfers that run on the worker behind a progress window.
#pragma once

#include <QDialog>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/resource_database.h"
#include "app/settings.h"
#include "concurrency/observer.h"
#include "concurrency/observer_proxy_ui.h"
#include "concurrency/simple_functor.h"
#include "modbus/modbus_interface.h"
#include "model/dev_interface.h"
#include "platform/message_format.h"
#include "session/device_session.h"
#include "session/report.h"
#include "session/verification.h"

class CParameterListCtrl;
class CProgressDialog;
class CStatusLine;
class QKeySequence;
class CTrafficWindow;
class QLabel;
class QTranslator;
class QMenu;
class QPoint;
class QPushButton;
class QToolButton;

// Command identifiers of the main window.
enum MainCommand : int {
    CMD_UPLOAD = 1001,
    CMD_DOWNLOAD = 1002,
    CMD_SAVE = 1003,
    CMD_LOAD = 1004,
    CMD_MONITOR = 1005,
    CMD_JAPANESE = 1006,
    CMD_MODEL_FIRST = 0x9000,  // + position in the device-type table
};

class CNorveltDlg : public QDialog, public CResourceManager, public CObserver {
    Q_OBJECT
public:
    // The master defaults to one on the persisted connection settings.
    explicit CNorveltDlg(std::unique_ptr<CModbusInterface> master = nullptr,
                         QWidget* parent = nullptr);
    ~CNorveltDlg() override;

    // Runs a command as its button, menu item or message would.
    void OnCommand(int id);
    // Loads the chosen language file and rebuilds every text; also the model when there is none.
    // A file that fails is reported and the last language that loaded (at start: English) stays
    // in use; returns whether the chosen file loaded.
    bool ApplyLanguage();
    // Switches to a language file beside the program shortly after the command; saved once it
    // has loaded.
    void SwitchLanguage(const std::string& file);
    // The model button and the list show the current model.
    void RefreshModel();
    void ShowModelMenu();
    // One item per language file present, named as the file names itself, the current one checked.
    void FillLanguageMenu(QMenu& menu);
    // The product, its version and build, and the language file in use.
    std::string AboutText() const;
    // The model menu's items, the current model checked.
    void FillModelMenu(QMenu& menu);
    // Asks before edits that were neither saved nor written would be lost: true when the caller
    // may go on (saved, discarded, or nothing to lose).
    bool KeepOrDropChanges();

    // The keys of the five commands, of the model menu and of the language menu.
    static QKeySequence CommandKey(int k);
    static QKeySequence ModelMenuKey();
    static QKeySequence LanguageMenuKey();
    // Asks for a file and writes the hand-over report of the current model there: a PDF for a
    // name ending in .pdf, else an HTML page.
    void SaveReport();
    // The command bar's context menu: languages, the read-back after downloads, the report.
    void ShowCommandBarMenu(const QPoint& at);
    // Opens (or brings forward) the traffic window of the master; recording starts with its
    // first opening.
    void ShowTraffic();
    CTrafficWindow* TrafficWindow() const { return m_trafficWindow.get(); }

    // Where the file commands and the report get their file names: (save?, title, filter) ->
    // path, empty when the user cancelled. The default is the desktop's file dialog.
    using FileChooser =
        std::function<std::string(bool save, const QString& title, const QString& filter)>;
    void SetFileChooser(FileChooser chooser) { m_fileChooser = std::move(chooser); }
    // Where the file dialog of a command starts: the folder last used (the open file's own one
    // when saving the configuration) and a name from the model and the serial number of the
    // device the list was read from, or the open file's own name. An open dialog names a file
    // only when it is there.
    QString FileDialogStart(bool save, const QString& suffix) const;
    // The port question and password window of the connection step (tests script them).
    void SetConnectionUi(ConnectionUi* ui) { m_connectionUi = ui; }
    // Runs the monitor window on the connected master.
    using MonitorRunner = std::function<void(CModbusInterface& master)>;
    void SetMonitorRunner(MonitorRunner runner) { m_monitorRunner = std::move(runner); }

    const std::shared_ptr<CDevInterface>& Device() const { return m_device; }
    CParameterListCtrl* List() const { return m_list; }
    // The progress window of the current or last transfer.
    const std::shared_ptr<CProgressDialog>& Progress() const { return m_progress; }
    QPushButton* ModelButton() const { return m_modelButton; }
    QToolButton* CommandButton(int k) const { return m_buttons[static_cast<size_t>(k)]; }
    CAppSettings& AppSettings() { return m_appSettings; }
    CStatusLine* StatusLine() const { return m_statusLine; }
    // The list holds edits that were neither saved nor written to the device.
    bool Modified() const { return m_modified; }
    // The configuration file the list was last opened from or saved to; empty for none.
    const std::string& FileName() const { return m_fileName; }

    // Completions of the transfers (UI thread, through the proxy) and Cancel of the progress
    // window.
    void Update(CObservable* source) override;

    // Escape hides an open editor and never closes the window; the close box does.
    void reject() override;

signals:
    // A language switch has run; loaded tells whether the chosen file loaded.
    void LanguageSwitched(bool loaded);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // Desktop font, style or theme changes rebuild the layout, deferred while minimised.
    bool event(QEvent* event) override;

private:
    bool LoadLanguageFile();
    void PlaceControls();
    void Relayout();
    void RunMonitor();
    void BuildCommandBar();
    void LayoutCommandBar();
    bool ConnectDevice();
    void RunTransfer(int mode);
    void ReadFromDevice();
    void WriteToDevice();
    // The transfer's error, if any, with the addition below it; the addition alone otherwise.
    void ShowPendingError(const std::string& addition);
    void SaveConfiguration();
    void SaveTo(const std::string& path);
    QString ToolTip(int k) const;
    void LoadConfiguration();
    void SetCurrentModel(std::shared_ptr<CDevInterface> model);
    std::string ChooseFile(bool save, const QString& title, const QString& filter,
                           const QString& suffix);
    std::string ChooseConfigurationFile(bool save);

    // A status text kept as its key and inserts, so that a language switch renders it anew;
    // without a key it is literal text (an error's first line).
    struct StatusText {
        StatusText() = default;
        StatusText(std::string k, std::vector<platform::FormatArg> a)
            : key(std::move(k)), args(std::move(a)) {}
        std::string key;
        std::vector<platform::FormatArg> args;
        std::string literal;
        bool error = false;
        // The model list entry whose long name is the first insert, named anew in each language.
        int modelEntry = -1;
    };
    static StatusText NewModelStatus(int entry);
    static StatusText ErrorStatus(const std::string& message);
    void SetOrigin(StatusText text);
    void SetOutcome(StatusText text);
    void SetModified(bool modified);
    void ShowStatus();
    void UpdateTitle();
    void LoadQtTranslations();
    void ShowReadOrigin();
    // Wait cursor and "Connecting to ..." while the connection step probes the device.
    void BeginBusy(const ComSettings& settings);
    void EndBusy();

    CAppSettings m_appSettings;
    CObserverProxyUI m_proxy;
    std::shared_ptr<CProgressDialog> m_progress;
    std::optional<std::string> m_pendingError;
    std::unique_ptr<CDevInterface> m_readModel;  // the model a finished upload read
    // What the last download of the current model found, for the report as long as the model
    // still holds the words that were written.
    struct LastDownload {
        std::shared_ptr<CDevInterface> model;
        std::vector<uint16_t> words;
        std::string port;
        std::optional<VerifyResult> verification;
        std::optional<DeviceInfo> device;
    };
    std::optional<LastDownload> m_lastDownload;
    DeviceLabel m_readLabel;  // and the device it came from
    std::string m_originSerial;  // the serial number of the device the list was read from
    QTimer m_languageTimer;
    std::string m_loadedLanguage;  // the last language file that loaded; empty before the first
    bool m_relayoutPending = false;
    bool m_relayoutQueued = false;
    std::shared_ptr<CDevInterface> m_device;
    std::unique_ptr<CModbusInterface> m_master;
    CSimpleFunctor m_readItem;
    CSimpleFunctor m_writeItem;
    QWidget* m_commandBar;
    std::array<QToolButton*, 5> m_buttons{};
    QLabel* m_modelLabel;
    QPushButton* m_modelButton;
    CParameterListCtrl* m_list;
    FileChooser m_fileChooser;
    ConnectionUi* m_connectionUi = nullptr;
    std::unique_ptr<ConnectionUi> m_dialogUi;
    MonitorRunner m_monitorRunner;
    CStatusLine* m_statusLine;
    StatusText m_origin;
    StatusText m_outcome;
    bool m_modified = false;
    std::unique_ptr<QTranslator> m_qtTranslator;  // Qt's own texts in the chosen language
    int m_currentEntry = -1;                      // the device-type table entry of the model shown
    bool m_busy = false;
    bool m_writeDone = false;  // the last download ran to its end
    std::string m_fileName;
    // Last, so that it stops listening before the master goes.
    std::unique_ptr<CTrafficWindow> m_trafficWindow;
};
