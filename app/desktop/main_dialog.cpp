#include "app/desktop/main_dialog.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLibraryInfo>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QStringList>
#include <QTime>
#include <QToolButton>
#include <QTranslator>

#include "app/private_exception.h"
#include "concurrency/background_executor.h"
#include "modbus/modbus_interface.h"
#include "model/dev_types.h"
#include "model/value_check.h"
#include "platform/atomic_file.h"
#include "platform/message_format.h"
#include "session/config_file.h"
#include "ui/connect_dialog.h"
#include "ui/monitor_dialog.h"
#include "ui/parameter_list.h"
#include "ui/pass_dialog.h"
#include "ui/progress_dialog.h"
#include "ui/report_document.h"
#include "ui/status_line.h"
#include "ui/traffic_window.h"
#include "ui/window_utils.h"

namespace {

constexpr int kDialogId = 102;
constexpr int kCommandBarHeight = 52;
constexpr int kButtonHeight = 48;
constexpr int kLanguageDelayMs = 100;
constexpr int kStatusTop = 420;     // dialog units: below the list
constexpr int kStatusHeight = 22;   // two rows of text
constexpr int kDialogHeight = 424;  // without the status line
constexpr const char* kDefaultLanguage = "English.lng";

// The connection step's questions asked with the program's own windows.
class DialogConnectionUi : public ConnectionUi {
public:
    explicit DialogConnectionUi(QWidget* owner) : m_owner(owner) {}
    bool ChoosePort(ComSettings& settings) override {
        return CConnectDialog(m_owner).Run(settings);
    }
    bool AskPassword(CModbusInterface& master) override { return CPassDialog(m_owner).Run(master); }
    void ShowError(const std::string& text) override {
        ::ShowError(m_owner, text, MessageIcon::Error);
    }

private:
    QWidget* m_owner;
};

std::string Now() {
    return FromQ(QTime::currentTime().toString("HH:mm"));
}

std::string BaseName(const std::string& path) {
    return FromQ(QFileInfo(ToQ(path)).fileName());
}

std::string Text(const char* key, std::initializer_list<platform::FormatArg> args = {}) {
    return CPrivateException(CPrivateException::Key{key}, args).Message();
}

int32_t ParameterCount(const CDevInterface& model) {
    int32_t n = 0;
    for (int i = 0; i < model.Count(); ++i) n += model.At(i).Type() == PAR_GROUP ? 0 : 1;
    return n;
}

}  // namespace

CNorveltDlg::CNorveltDlg(std::unique_ptr<CModbusInterface> master, QWidget* parent)
    : QDialog(parent),
      m_master(master ? std::move(master) : std::make_unique<CModbusInterface>()),
      m_readItem(this, &CNorveltDlg::ReadFromDevice),
      m_writeItem(this, &CNorveltDlg::WriteToDevice),
      m_commandBar(new QWidget(this)),
      m_modelLabel(new QLabel("Model", this)),
      m_modelButton(new QPushButton(this)),
      m_list(new CParameterListCtrl(this)),
      m_dialogUi(std::make_unique<DialogConnectionUi>(this)),
      m_statusLine(new CStatusLine(this)) {
    m_list->AddObserver(this);
    m_proxy.AddObserver(this);
    m_readItem.AddObserver(&m_proxy);
    m_writeItem.AddObserver(&m_proxy);
    m_connectionUi = m_dialogUi.get();
    m_monitorRunner = [this](CModbusInterface& master) {
        CMonitorDialog monitor;
        monitor.SetTrafficOpener([this] { ShowTraffic(); });
        monitor.Run(master);
    };

    // The program's main window: in the task bar, with a minimise box, above no other window.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(ToQ(GetProductCaption()));
    m_appSettings.Load();
    SetControlId(m_modelLabel, 1013);
    SetControlId(m_modelButton, 1082);
    SetControlId(m_list, 1000);
    m_modelButton->setStyleSheet("text-align: left; padding-left: 4px;");
    m_modelButton->setAutoDefault(false);
    PlaceControls();
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    connect(m_modelButton, &QPushButton::clicked, this, &CNorveltDlg::ShowModelMenu);
    connect(m_list, &CParameterListCtrl::Changed, this, [this] { SetModified(true); });
    // The keys live on the window, so that they survive every rebuild of the command bar.
    for (int k = 0; k < 5; ++k) {
        auto* key = new QShortcut(CommandKey(k), this);
        connect(key, &QShortcut::activated, this, [this, k] { OnCommand(CMD_UPLOAD + k); });
    }
    connect(new QShortcut(ModelMenuKey(), this), &QShortcut::activated, this,
            &CNorveltDlg::ShowModelMenu);
    connect(new QShortcut(LanguageMenuKey(), this), &QShortcut::activated, this, [this] {
        QMenu menu(this);
        FillLanguageMenu(menu);
        menu.exec(m_commandBar->mapToGlobal(QPoint(0, kCommandBarHeight)));
    });

    m_languageTimer.setSingleShot(true);
    m_languageTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_languageTimer, &QTimer::timeout, this, [this] {
        const bool loaded = ApplyLanguage();
        if (loaded) m_appSettings.Save();
        emit LanguageSwitched(loaded);
    });
    m_commandBar->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_commandBar, &QWidget::customContextMenuRequested, this,
            &CNorveltDlg::ShowCommandBarMenu);
    auto* trafficKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_T), this);
    connect(trafficKey, &QShortcut::activated, this, &CNorveltDlg::ShowTraffic);

    m_list->Initialize();
    g_resources.Init();
    ApplyLanguage();
    // The keyboard starts in the list, not on the first button of the window.
    m_list->setFocus(Qt::OtherFocusReason);
}

CNorveltDlg::~CNorveltDlg() {
    // A transfer item never outlives the window: its owner waits here for the worker.
    g_executor.WaitUntilDone(&m_readItem);
    g_executor.WaitUntilDone(&m_writeItem);
}

bool CNorveltDlg::ApplyLanguage() {
    const bool loaded = LoadLanguageFile();
    LoadQtTranslations();
    ApplyDialogTexts(kDialogId, this);
    BuildCommandBar();
    if (m_trafficWindow) m_trafficWindow->ApplyLanguage();
    if (!m_device) {
        SetCurrentModel(CDevType().Create(0, 0, DEV_SETTINGS));
        SetOrigin(NewModelStatus(0));
    }
    RefreshModel();
    ShowStatus();
    return loaded;
}

// A file that fails to load may already have replaced the texts, or left none: the window goes
// on with the last language that loaded, or English, rather than without captions.
bool CNorveltDlg::LoadLanguageFile() {
    const std::string wanted = m_appSettings.GetLanguageFile();
    try {
        g_resources.LoadLanguage(wanted);
        m_loadedLanguage = wanted;
        return true;
    } catch (const CPrivateException& e) {
        ShowError(this, e.Message(), MessageIcon::Error);
    }
    const std::string fallback = m_loadedLanguage.empty() ? kDefaultLanguage : m_loadedLanguage;
    m_appSettings.SetLanguageFile(fallback);
    if (fallback == wanted) return false;
    try {
        g_resources.LoadLanguage(fallback);
        m_loadedLanguage = fallback;
    } catch (const CPrivateException& e) {
        ShowError(this, e.Message(), MessageIcon::Error);
    }
    return false;
}

void CNorveltDlg::SwitchLanguage(const std::string& file) {
    m_appSettings.SetLanguageFile(file);
    // A second switch within the delay restarts it: the language is applied once.
    m_languageTimer.start(kLanguageDelayMs);
}

// Positions in dialog units of the UI font, so the window follows the desktop's font.
void CNorveltDlg::PlaceControls() {
    ApplyUIFont(this);
    PlaceInDialogUnits(m_modelLabel, 17, 41, 30, 10);
    PlaceInDialogUnits(m_modelButton, 52, 38, 341, 14);
    PlaceInDialogUnits(m_list, 7, 58, 386, 359);
    PlaceInDialogUnits(m_statusLine, 7, kStatusTop, 386, kStatusHeight);
    // The window grows by the status line; everything above keeps its place.
    setFixedSize(DluX(font(), 400), DluY(font(), kDialogHeight + kStatusHeight));
}

bool CNorveltDlg::event(QEvent* event) {
    const bool handled = QDialog::event(event);
    switch (event->type()) {
        case QEvent::ApplicationFontChange:
        case QEvent::StyleChange:
        case QEvent::ThemeChange:
            m_relayoutPending = true;
            break;
        case QEvent::WindowStateChange:
            break;
        default:
            return handled;
    }
    // Queued: these events reach every widget in turn, and the rebuild deletes some of them.
    if (m_relayoutPending && !isMinimized() && !m_relayoutQueued) {
        m_relayoutQueued = true;
        QMetaObject::invokeMethod(this, &CNorveltDlg::Relayout, Qt::QueuedConnection);
    }
    return handled;
}

void CNorveltDlg::Relayout() {
    m_relayoutQueued = false;
    if (!m_relayoutPending || isMinimized()) return;
    m_relayoutPending = false;
    PlaceControls();
    BuildCommandBar();
    RefreshModel();
    ShowStatus();
}

// The buttons are made once; a language switch only rewrites their captions. The switch may
// arrive inside the modal loop that a button's own click started, and that button must outlive it.
void CNorveltDlg::BuildCommandBar() {
    for (int k = 0; k < 5; ++k) {
        QToolButton*& button = m_buttons[static_cast<size_t>(k)];
        if (!button) {
            button = new QToolButton(m_commandBar);
            button->setToolButtonStyle(Qt::ToolButtonTextOnly);
            button->setAutoRaise(true);
            const int id = CMD_UPLOAD + k;
            connect(button, &QToolButton::clicked, this, [this, id] { OnCommand(id); });
            button->show();
        }
        const QString caption = ToQ(g_resources.GetMessageText("tb" + std::to_string(k)));
        button->setText(caption);
        button->setToolTip(ToolTip(k));
    }
    LayoutCommandBar();
}

QKeySequence CNorveltDlg::CommandKey(int k) {
    static const QKeyCombination kKeys[] = {QKeyCombination(Qt::Key_F5),
                                            QKeyCombination(Qt::Key_F6), Qt::CTRL | Qt::Key_S,
                                            Qt::CTRL | Qt::Key_O, QKeyCombination(Qt::Key_F7)};
    return k >= 0 && k < 5 ? QKeySequence(kKeys[k]) : QKeySequence();
}

QKeySequence CNorveltDlg::ModelMenuKey() {
    return QKeySequence(Qt::CTRL | Qt::Key_M);
}

// "Read from device (F5)" and a line on what the command does.
QString CNorveltDlg::ToolTip(int k) const {
    const std::string caption = Text(("tb" + std::to_string(k)).c_str());
    const std::string what = Text(("tip" + std::to_string(k)).c_str());
    return ToQ(caption) + " (" + CommandKey(k).toString(QKeySequence::NativeText) + ")\n" +
           ToQ(what);
}

void CNorveltDlg::LayoutCommandBar() {
    // The five buttons share the window's width equally.
    const int width = contentsRect().width();
    m_commandBar->setGeometry(0, 0, width, kCommandBarHeight);
    for (int k = 0; k < 5; ++k)
        if (QToolButton* b = m_buttons[static_cast<size_t>(k)])
            b->setGeometry(k * (width / 5), 2, width / 5, kButtonHeight);
}

void CNorveltDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    LayoutCommandBar();
}

void CNorveltDlg::RefreshModel() {
    CDevType types;
    for (int i = 0; i < CDevType::EntryCount(); ++i) {
        const DevTypeEntry& e = CDevType::Entry(i);
        if (m_device && e.typeCode == m_device->TypeCode() && e.versionMin <= m_device->Version() &&
            m_device->Version() <= e.versionMax) {
            m_modelButton->setText(" " + ToQ(types.LongName(i)));
            m_currentEntry = i;
        }
    }
    m_modelButton->setToolTip(ToQ(Text("tipmodel")) + " (" +
                              ModelMenuKey().toString(QKeySequence::NativeText) + ")");
    m_list->SetModel(m_device, true);
}

void CNorveltDlg::SetCurrentModel(std::shared_ptr<CDevInterface> model) {
    m_device = std::move(model);
    m_modified = false;
}

void CNorveltDlg::FillModelMenu(QMenu& menu) {
    CDevType types;
    for (int p = 0; p < CDevType::EntryCount(); ++p) {
        QAction* item = menu.addAction(ToQ(types.LongName(p)), this,
                                       [this, p] { OnCommand(CMD_MODEL_FIRST + p); });
        item->setCheckable(true);
        item->setChecked(p == m_currentEntry);
    }
}

void CNorveltDlg::ShowModelMenu() {
    QMenu menu(this);
    FillModelMenu(menu);
    menu.exec(m_modelButton->mapToGlobal(QPoint(0, m_modelButton->height() - 1)));
}

void CNorveltDlg::ShowCommandBarMenu(const QPoint& at) {
    QMenu menu(this);
    QMenu* languages = menu.addMenu(ToQ(Text("lang.menu")) + "\t" +
                                    LanguageMenuKey().toString(QKeySequence::NativeText));
    FillLanguageMenu(*languages);
    menu.addSeparator();
    QAction* verify = menu.addAction(ToQ(g_resources.GetMessageText("verifyopt")));
    verify->setCheckable(true);
    verify->setChecked(m_appSettings.GetVerifyAfterDownload());
    connect(verify, &QAction::toggled, this, [this](bool on) {
        m_appSettings.SetVerifyAfterDownload(on);
        m_appSettings.Save();
    });
    menu.addAction(ToQ(g_resources.GetMessageText("report.save")), this, [this] {
        try {
            SaveReport();
        } catch (const CPrivateException& e) {
            ShowError(this, e.Message(), MessageIcon::Warning);
        }
    });
    menu.addSeparator();
    menu.addAction(ToQ(Text("about.menu")), this,
                   [this] { ShowMessage(this, AboutText(), MessageIcon::Information); });
    menu.addAction(ToQ(g_resources.GetMessageText("traffic.open")), this,
                   &CNorveltDlg::ShowTraffic);
    menu.exec(m_commandBar->mapToGlobal(at));
}

void CNorveltDlg::FillLanguageMenu(QMenu& menu) {
    for (const LanguageFileInfo& language : ListLanguageFiles()) {
        QAction* item = menu.addAction(ToQ(language.name), this, [this, file = language.file] {
            // Applied after the menu's own click has ended: the command bar is rebuilt then.
            SwitchLanguage(file);
        });
        item->setCheckable(true);
        item->setChecked(language.file == m_appSettings.GetLanguageFile());
    }
}

std::string CNorveltDlg::AboutText() const {
    const std::string file = m_appSettings.GetLanguageFile();
    return Text("about.text",
                {GetProductCaption(), std::string(__DATE__), std::string(qVersion()),
                 CResourceDatabase::LanguagePath(file), g_resources.GetLanguageName()});
}

QKeySequence CNorveltDlg::LanguageMenuKey() {
    return QKeySequence(Qt::CTRL | Qt::Key_L);
}

// Qt's own dialogs (file dialog, standard buttons) speak the language the file names.
void CNorveltDlg::LoadQtTranslations() {
    if (m_qtTranslator) QCoreApplication::removeTranslator(m_qtTranslator.get());
    m_qtTranslator.reset();
    const std::string locale = g_resources.GetLocaleName();
    if (locale.empty()) return;
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load("qtbase_" + ToQ(locale),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return;
    QCoreApplication::installTranslator(translator.get());
    m_qtTranslator = std::move(translator);
}

void CNorveltDlg::ShowTraffic() {
    // A window of its own, not a child: a modal window over the main window must not block it.
    if (!m_trafficWindow) m_trafficWindow = std::make_unique<CTrafficWindow>(*m_master);
    m_trafficWindow->show();
    m_trafficWindow->raise();
    m_trafficWindow->activateWindow();
}

void CNorveltDlg::OnCommand(int id) {
    try {
        if (id >= CMD_MODEL_FIRST && id < CMD_MODEL_FIRST + CDevType::EntryCount()) {
            if (!KeepOrDropChanges()) return;
            // A fresh model with its defaults, even when it is the current model's type.
            SetCurrentModel(CDevType().Create(id - CMD_MODEL_FIRST, 0, DEV_SETTINGS));
            m_fileName.clear();
            m_originSerial.clear();
            SetOrigin(NewModelStatus(id - CMD_MODEL_FIRST));
            SetOutcome({});
            RefreshModel();
            m_list->setFocus(Qt::OtherFocusReason);
            return;
        }
        switch (id) {
            case CMD_UPLOAD:
                if (KeepOrDropChanges() && ConnectDevice()) RunTransfer(0);
                break;
            case CMD_DOWNLOAD:
                m_device->PrepareStore();
                if (const auto problems = CheckValues(*m_device); !problems.empty()) {
                    ShowError(this, DescribeRefusal(problems), MessageIcon::Warning);
                    break;
                }
                if (ConnectDevice()) RunTransfer(1);
                break;
            case CMD_SAVE:
                m_device->PrepareStore();
                SaveConfiguration();
                break;
            case CMD_LOAD:
                if (KeepOrDropChanges()) LoadConfiguration();
                break;
            case CMD_MONITOR:
                if (ConnectDevice() && m_monitorRunner) RunMonitor();
                break;
            case CMD_JAPANESE:
                SwitchLanguage("Japanese.lng");
                break;
            default:
                break;
        }
        // Whatever the command showed on the way, the keyboard goes back to the list.
        m_list->setFocus(Qt::OtherFocusReason);
    } catch (const CPrivateException& e) {
        SetOutcome(ErrorStatus(e.Message()));
        ShowError(this, e.Message(), MessageIcon::Warning);
    } catch (const std::exception& e) {
        SetOutcome(ErrorStatus(e.what()));
        ShowError(this, e.what(), MessageIcon::Warning);
    }
}

// Shown again after the monitor, the window is placed anew by the window manager (it came back
// lower and to the right); it returns where the user left it.
void CNorveltDlg::RunMonitor() {
    const QPoint where = pos();
    hide();
    m_monitorRunner(*m_master);
    // The connection step's "Connecting to …" must not outlive the monitor.
    SetOutcome({"st.monitored", {PortText(m_master->Settings()), Now()}});
    move(where);
    show();
    move(where);
}

bool CNorveltDlg::ConnectDevice() {
    // The injected questions, with the window's own signs of what it waits for around them.
    class StatusUi : public ConnectionUi {
    public:
        explicit StatusUi(CNorveltDlg& dialog) : m_dialog(dialog) {}
        bool ChoosePort(ComSettings& settings) override {
            if (!m_dialog.m_connectionUi->ChoosePort(settings)) return false;
            m_probed = true;
            m_dialog.BeginBusy(settings);
            return true;
        }
        bool AskPassword(CModbusInterface& master) override {
            m_dialog.EndBusy();
            return m_dialog.m_connectionUi->AskPassword(master);
        }
        void ShowError(const std::string& text) override {
            m_dialog.EndBusy();
            m_dialog.SetOutcome(ErrorStatus(text));
            m_failed = true;
            m_dialog.m_connectionUi->ShowError(text);
        }
        bool m_probed = false;
        bool m_failed = false;

    private:
        CNorveltDlg& m_dialog;
    } ui(*this);
    const bool connected = ::ConnectDevice(*m_master, ui, ComSettings::Loaded(), true);
    EndBusy();
    // A refused password ends the command too; the status must not go on saying "Connecting".
    if (!connected && !ui.m_failed && ui.m_probed) SetOutcome({"st.noconnect", {}});
    return connected;
}

void CNorveltDlg::BeginBusy(const ComSettings& settings) {
    m_busy = true;
    SetOutcome({"st.connecting", {PortText(settings)}});
    setCursor(Qt::WaitCursor);
    // The probe blocks this thread for up to seconds: paint the status and the place the port
    // question covered now.
    repaint();
}

void CNorveltDlg::EndBusy() {
    if (!m_busy) return;
    m_busy = false;
    unsetCursor();
}

void CNorveltDlg::RunTransfer(int mode) {
    m_progress = std::make_shared<CProgressDialog>(this);
    m_progress->AddObserver(this);
    g_executor.Execute(mode == 0 ? &m_readItem : &m_writeItem);
    m_progress->Run(mode);
    if (m_pendingError) {
        SetOutcome(ErrorStatus(*m_pendingError));
    } else if (mode == 0 && m_readModel) {
        SetCurrentModel(std::shared_ptr<CDevInterface>(std::move(m_readModel)));
        m_fileName.clear();
        ShowReadOrigin();
        SetOutcome({"st.read", {ParameterCount(*m_device), Now()}});
    } else if (mode == 1 && m_writeDone) {
        SetModified(false);
        SetOutcome({"st.written", {ParameterCount(*m_device), Now()}});
    } else {
        SetOutcome({"st.cancelled", {}});
    }
    // A download that stopped part-way says so, cancelled or not: the device holds both settings.
    ShowPendingError(mode == 1 && m_progress->PartlyWritten() ? MixtureWarning(*m_progress) : "");
    if (mode == 0) RefreshModel();
}

void CNorveltDlg::ShowReadOrigin() {
    const std::string model = m_device->ModelCode();
    // Without the device's own text, the version that identification read.
    const uint32_t version = m_device->Version();
    const std::string firmware =
        !m_readLabel.firmware.empty()
            ? m_readLabel.firmware
            : std::to_string(version >> 16) + "." + std::to_string(version & 0xFFFF);
    const std::string& serial = m_readLabel.serial;
    m_originSerial = serial;
    const std::string port = PortText(m_master->Settings());
    if (serial.empty())
        SetOrigin({"st.fromdevice", {model, firmware, port, Now()}});
    else
        SetOrigin({"st.fromdeviceserial", {model, firmware, serial, port, Now()}});
}

namespace {

// Runs a transfer on the worker: its error is kept for the UI thread unless the user cancelled.
template <typename Fn>
std::optional<std::string> Guarded(const TransferProgress& progress, Fn&& fn) {
    try {
        fn();
    } catch (const CPrivateException& e) {
        if (!progress.Cancelled()) return e.Message();
    } catch (const std::exception& e) {
        if (!progress.Cancelled()) return std::string(e.what());
    }
    return std::nullopt;
}

}  // namespace

void CNorveltDlg::ReadFromDevice() {
    m_readModel.reset();
    m_readLabel = {};
    m_pendingError = Guarded(*m_progress, [this] {
        m_readModel = ::ReadFromDevice(*m_master, *m_progress);
        if (m_readModel && !m_progress->Cancelled())
            m_readLabel = ReadDeviceLabel(*m_master, *m_readModel);
    });
}

namespace {

// Every register word of the model in index order: what a download writes.
std::vector<uint16_t> WordsOf(const CDevInterface& model) {
    std::vector<uint16_t> words;
    for (int i = 0; i < model.Count(); ++i)
        for (uint16_t w : model.At(i).Value().Words()) words.push_back(w);
    return words;
}

// A message box shows this many differing parameters; the report lists them all.
constexpr size_t kVerifyLinesShown = 10;

}  // namespace

void CNorveltDlg::WriteToDevice() {
    m_writeDone = false;
    m_lastDownload.reset();
    const bool verify = m_appSettings.GetVerifyAfterDownload();
    std::optional<VerifyResult> verification;
    bool written = false;
    m_pendingError = Guarded(*m_progress, [&] {
        written = WriteAndVerify(*m_master, *m_device, *m_progress, verify, &verification,
                                 kVerifyLinesShown);
    });
    m_writeDone = written && !m_progress->Cancelled();
    if (!written && !verification) return;
    LastDownload last{m_device, WordsOf(*m_device), PortText(m_master->Settings()), verification,
                      std::nullopt};
    // The unit's serial number and MAC make the report a record of this very unit.
    if (verification && !m_progress->Cancelled()) {
        try {
            last.device = ReadDeviceInfo(*m_master);
        } catch (const CPrivateException&) {
        }
    }
    m_lastDownload = std::move(last);
}

void CNorveltDlg::ShowPendingError(const std::string& addition) {
    if (!m_pendingError) {
        if (!addition.empty()) ShowError(this, addition, MessageIcon::Warning);
        return;
    }
    const std::string text = TruncateUtf8(*m_pendingError, 1023);
    m_pendingError.reset();
    const std::string templ = g_resources.GetMessageText("comerr");
    // Without the wrapper text the error's own text still reaches the user.
    std::string shown = templ.empty() ? text : platform::FormatMessageText(templ, {text, text});
    if (!addition.empty()) shown += "\n\n" + addition;
    ShowError(this, shown, MessageIcon::Error);
}

void CNorveltDlg::Update(CObservable* source) {
    if (source == &m_readItem || source == &m_writeItem) {
        if (m_progress) m_progress->End();
    } else if (m_progress && source == static_cast<CObservable*>(m_progress.get())) {
        m_master->Cancel();
    }
}

std::string CNorveltDlg::ChooseFile(bool save, const QString& title, const QString& filter,
                                    const QString& suffix) {
    if (m_fileChooser) {
        const std::string path = m_fileChooser(save, title, filter);
        RememberFileDialogFolder(path);
        return path;
    }
    QFileDialog dialog(this, title, FileDialogStart(save, suffix), filter);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(suffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    std::string path = FromQ(dialog.selectedFiles().first());
    RememberFileDialogFolder(path);
    // The chosen filter decides the kind of a report whose name has no extension of its own.
    if (save && suffix != "cfg" && dialog.selectedNameFilter().contains("*.pdf") &&
        !QString::fromStdString(path).endsWith(".pdf", Qt::CaseInsensitive) &&
        !QString::fromStdString(path).endsWith(".html", Qt::CaseInsensitive))
        path += ".pdf";
    return path;
}

QString CNorveltDlg::FileDialogStart(bool save, const QString& suffix) const {
    const bool config = suffix == "cfg";
    QString folder = FileDialogFolder();
    QString name;
    if (!m_fileName.empty()) {
        const QFileInfo open(ToQ(m_fileName));
        if (save && config && open.absoluteDir().exists()) folder = open.absolutePath();
        name = SuggestedFileName({FromQ(open.completeBaseName())}, FromQ(suffix));
    } else if (m_device) {
        name = SuggestedFileName({m_device->ModelCode(), m_originSerial}, FromQ(suffix));
    }
    if (name.isEmpty() || (!save && !QFileInfo(QDir(folder).filePath(name)).isFile()))
        return folder;
    return QDir(folder).filePath(name);
}

std::string CNorveltDlg::ChooseConfigurationFile(bool save) {
    return ChooseFile(save, ToQ(g_resources.GetMessageText(save ? "tb2" : "tb3")),
                      FileDialogFilter(g_resources.GetMessageText("fopenfilter")), "cfg");
}

void CNorveltDlg::SaveReport() {
    QString title = ToQ(g_resources.GetMessageText("report.save"));
    while (title.endsWith('.') || title.endsWith(QChar(0x2026))) title.chop(1);
    const std::string path = ChooseFile(
        true, title, FileDialogFilter(g_resources.GetMessageText("report.filter")), "html");
    if (path.empty()) return;

    ReportData data;
    data.made = std::time(nullptr);
    data.program = GetProductCaption();
    data.model = m_device.get();
    // The download's findings belong to the report only while the list still shows what was
    // written.
    if (m_lastDownload && m_lastDownload->model == m_device &&
        m_lastDownload->words == WordsOf(*m_device)) {
        data.port = m_lastDownload->port;
        data.source = g_resources.GetMessageText("report.fromdevice");
        data.verification = m_lastDownload->verification;
        data.device = m_lastDownload->device;
    }
    const std::string html = ReportHtml(data);
    try {
        if (QString::fromStdString(path).endsWith(".pdf", Qt::CaseInsensitive))
            WriteReportPdf(html, path);
        else
            platform::WriteFileReplacing(path, html);
    } catch (const CPrivateException& e) {
        throw CPrivateException(CPrivateException::Key{"report.cantwrite"}, {path, e.Message()});
    }
}

void CNorveltDlg::SaveConfiguration() {
    const std::string path = ChooseConfigurationFile(true);
    if (!path.empty()) SaveTo(path);
}

void CNorveltDlg::SaveTo(const std::string& path) {
    try {
        ::SaveConfiguration(*m_device, path);
    } catch (const CPrivateException& e) {
        // The system's reason alone does not say which file the user has to look at.
        throw CPrivateException(CPrivateException::Key{"saveerr"}, {path, e.Message()});
    }
    m_fileName = path;
    SetModified(false);
    SetOutcome({"st.saved", {BaseName(path)}});
}

bool CNorveltDlg::KeepOrDropChanges() {
    if (!m_modified) return true;
    const std::string question =
        m_fileName.empty() ? Text("ask.savenew") : Text("ask.savefile", {BaseName(m_fileName)});
    switch (Ask(this, question, Question::SaveDiscardCancel)) {
        case Answer::Discard:
            return true;
        case Answer::Save:
            break;
        default:
            return false;
    }
    try {
        if (m_fileName.empty())
            SaveConfiguration();
        else
            SaveTo(m_fileName);
    } catch (const CPrivateException& e) {
        SetOutcome(ErrorStatus(e.Message()));
        ShowError(this, e.Message(), MessageIcon::Warning);
        return false;
    }
    // A save the user cancelled in the file dialog keeps everything as it was.
    return !m_modified;
}

void CNorveltDlg::LoadConfiguration() {
    const std::string path = ChooseConfigurationFile(false);
    if (path.empty()) return;
    SetCurrentModel(::LoadConfiguration(path));
    m_fileName = path;
    SetOrigin({"st.opened", {BaseName(path)}});
    SetOutcome({});
    RefreshModel();
    // The file stays loaded for correction; the list marks the rows.
    std::string lines;
    for (const ValueProblem& problem : CheckValues(*m_device)) {
        if (!lines.empty()) lines += '\n';
        lines += DescribeProblem(problem);
    }
    if (!lines.empty())
        ShowError(this, CPrivateException(CPrivateException::Key{"val.loaded"}, {lines}).Message(),
                  MessageIcon::Warning);
}

// ---- status line and title ----

CNorveltDlg::StatusText CNorveltDlg::ErrorStatus(const std::string& message) {
    std::string line = message.substr(0, message.find_first_of("\r\n"));
    if (line.empty()) line = message;
    StatusText text;
    text.literal = TruncateUtf8(line, 511);
    text.error = true;
    return text;
}

CNorveltDlg::StatusText CNorveltDlg::NewModelStatus(int entry) {
    StatusText text("st.new", {CDevType().LongName(entry)});
    text.modelEntry = entry;
    return text;
}

void CNorveltDlg::SetOrigin(StatusText text) {
    m_origin = std::move(text);
    ShowStatus();
}

void CNorveltDlg::SetOutcome(StatusText text) {
    m_outcome = std::move(text);
    ShowStatus();
}

void CNorveltDlg::SetModified(bool modified) {
    m_modified = modified;
    ShowStatus();
}

void CNorveltDlg::ShowStatus() {
    auto render = [](const StatusText& t) {
        if (t.key.empty()) return ToQ(t.literal);
        std::vector<platform::FormatArg> args = t.args;
        if (t.modelEntry >= 0 && !args.empty()) args[0] = CDevType().LongName(t.modelEntry);
        return ToQ(CPrivateException(CPrivateException::Key{t.key}, args).Message());
    };
    m_statusLine->SetOrigin(render(m_origin));
    m_statusLine->SetOutcome(render(m_outcome), m_outcome.error);
    m_statusLine->SetModified(m_modified, ToQ(g_resources.GetMessageText("st.modified")));
    UpdateTitle();
}

// "site7.cfg* — caption", as desktop programs name the document they hold.
void CNorveltDlg::UpdateTitle() {
    std::string caption = g_resources.GetGuiText(kDialogId, 0);
    if (caption.empty()) caption = GetProductCaption();
    const std::string name =
        !m_fileName.empty() ? BaseName(m_fileName) : (m_device ? m_device->ModelCode() : "");
    std::string title = name + (m_modified ? "*" : "");
    if (!title.empty() && !caption.empty()) title += " \xE2\x80\x94 ";  // an em dash
    setWindowTitle(ToQ(title + caption));
}

void CNorveltDlg::reject() {
    if (m_list->IsEditing()) m_list->HideEditors();
}

void CNorveltDlg::closeEvent(QCloseEvent* event) {
    if (!KeepOrDropChanges()) {
        event->ignore();
        return;
    }
    event->accept();
    done(QDialog::Accepted);
}
