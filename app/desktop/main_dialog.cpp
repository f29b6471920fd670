#include "app/desktop/main_dialog.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStringList>
#include <QToolButton>

#include "app/private_exception.h"
#include "concurrency/background_executor.h"
#include "modbus/modbus_interface.h"
#include "model/dev_types.h"
#include "platform/atomic_file.h"
#include "platform/message_format.h"
#include "session/config_file.h"
#include "ui/connect_dialog.h"
#include "ui/monitor_dialog.h"
#include "ui/parameter_list.h"
#include "ui/pass_dialog.h"
#include "ui/progress_dialog.h"
#include "ui/report_document.h"
#include "ui/window_utils.h"

namespace {

constexpr int kDialogId = 102;
constexpr int kCommandBarHeight = 52;
constexpr int kButtonHeight = 48;
constexpr int kLanguageDelayMs = 100;

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

// "Configuration files (*.cfg)|*.cfg|All files (*)|*|" as a file dialog filter.
QString FileFilter(const std::string& parts) {
    const QStringList items = ToQ(parts).split('|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < items.size(); i += 2) {
        if (items[i].isEmpty()) continue;
        filters << (items[i].contains('(') ? items[i] : items[i] + " (" + items[i + 1] + ")");
    }
    return filters.join(";;");
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
      m_dialogUi(std::make_unique<DialogConnectionUi>(this)) {
    m_list->AddObserver(this);
    m_proxy.AddObserver(this);
    m_readItem.AddObserver(&m_proxy);
    m_writeItem.AddObserver(&m_proxy);
    m_connectionUi = m_dialogUi.get();
    m_monitorRunner = [](CModbusInterface& master) {
        CMonitorDialog monitor;
        monitor.Run(master);
    };

    setWindowTitle(ToQ(GetProductCaption()));
    m_appSettings.Load();
    ApplyUIFont(this);
    SetControlId(m_modelLabel, 1013);
    SetControlId(m_modelButton, 1082);
    SetControlId(m_list, 1000);
    PlaceInDialogUnits(m_modelLabel, 17, 41, 30, 10);
    PlaceInDialogUnits(m_modelButton, 52, 38, 341, 14);
    PlaceInDialogUnits(m_list, 7, 58, 386, 359);
    m_modelButton->setStyleSheet("text-align: left; padding-left: 4px;");
    m_modelButton->setAutoDefault(false);
    setFixedSize(DluX(font(), 400), DluY(font(), 424));
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    connect(m_modelButton, &QPushButton::clicked, this, &CNorveltDlg::ShowModelMenu);

    m_languageTimer.setSingleShot(true);
    connect(&m_languageTimer, &QTimer::timeout, this, [this] {
        ApplyLanguage();
        m_appSettings.Save();
    });
    m_commandBar->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_commandBar, &QWidget::customContextMenuRequested, this,
            &CNorveltDlg::ShowCommandBarMenu);

    m_list->Initialize();
    g_resources.Init();
    ApplyLanguage();
}

CNorveltDlg::~CNorveltDlg() {
    // A transfer item never outlives the window: its owner waits here for the worker.
    g_executor.WaitUntilDone(&m_readItem);
    g_executor.WaitUntilDone(&m_writeItem);
}

void CNorveltDlg::ApplyLanguage() {
    try {
        g_resources.LoadLanguage(m_appSettings.GetLanguageFile());
    } catch (const CPrivateException& e) {
        ShowError(this, e.Message(), MessageIcon::Error);
    }
    ApplyDialogTexts(kDialogId, this);
    BuildCommandBar();
    if (!m_device) SetCurrentModel(CDevType().Create(0, 0, DEV_SETTINGS));
    RefreshModel();
}

void CNorveltDlg::BuildCommandBar() {
    for (QToolButton*& button : m_buttons) {
        delete button;
        button = nullptr;
    }
    for (int k = 0; k < 5; ++k) {
        auto* button = new QToolButton(m_commandBar);
        const QString caption = ToQ(g_resources.GetMessageText("tb" + std::to_string(k)));
        button->setText(caption);
        button->setToolTip(caption);
        button->setToolButtonStyle(Qt::ToolButtonTextOnly);
        button->setAutoRaise(true);
        const int id = CMD_UPLOAD + k;
        connect(button, &QToolButton::clicked, this, [this, id] { OnCommand(id); });
        m_buttons[static_cast<size_t>(k)] = button;
        button->show();
    }
    LayoutCommandBar();
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
            m_device->Version() <= e.versionMax)
            m_modelButton->setText(" " + ToQ(types.LongName(i)));
    }
    m_list->SetModel(m_device, true);
}

void CNorveltDlg::SetCurrentModel(std::shared_ptr<CDevInterface> model) {
    m_device = std::move(model);
}

void CNorveltDlg::ShowModelMenu() {
    QMenu menu(this);
    CDevType types;
    for (int p = 0; p < CDevType::EntryCount(); ++p)
        menu.addAction(ToQ(types.LongName(p)), this, [this, p] { OnCommand(CMD_MODEL_FIRST + p); });
    menu.exec(m_modelButton->mapToGlobal(QPoint(0, m_modelButton->height() - 1)));
}

void CNorveltDlg::ShowCommandBarMenu(const QPoint& at) {
    QMenu menu(this);
    // Any language file beside the program can be chosen here.
    for (const char* file : {"English.lng", "Japanese.lng"}) {
        menu.addAction(QString(file).section('.', 0, 0), this, [this, file] {
            m_appSettings.SetLanguageFile(file);
            m_languageTimer.start(kLanguageDelayMs);
        });
    }
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
    menu.exec(m_commandBar->mapToGlobal(at));
}

void CNorveltDlg::OnCommand(int id) {
    try {
        if (id >= CMD_MODEL_FIRST && id < CMD_MODEL_FIRST + CDevType::EntryCount()) {
            // A fresh model with its defaults, even when it is the current model's type.
            SetCurrentModel(CDevType().Create(id - CMD_MODEL_FIRST, 0, DEV_SETTINGS));
            RefreshModel();
            return;
        }
        switch (id) {
            case CMD_UPLOAD:
                if (ConnectDevice()) RunTransfer(0);
                break;
            case CMD_DOWNLOAD:
                m_device->PrepareStore();
                if (ConnectDevice()) RunTransfer(1);
                break;
            case CMD_SAVE:
                m_device->PrepareStore();
                SaveConfiguration();
                break;
            case CMD_LOAD:
                LoadConfiguration();
                break;
            case CMD_MONITOR:
                if (ConnectDevice() && m_monitorRunner) {
                    hide();
                    m_monitorRunner(*m_master);
                    show();
                }
                break;
            case CMD_JAPANESE:
                m_appSettings.SetLanguageFile("Japanese.lng");
                m_languageTimer.start(kLanguageDelayMs);
                break;
            default:
                break;
        }
    } catch (const CPrivateException& e) {
        ShowError(this, e.Message(), MessageIcon::Warning);
    } catch (const std::exception& e) {
        ShowError(this, e.what(), MessageIcon::Warning);
    }
}

bool CNorveltDlg::ConnectDevice() {
    return ::ConnectDevice(*m_master, *m_connectionUi, ComSettings::Loaded(), true);
}

void CNorveltDlg::RunTransfer(int mode) {
    m_progress = std::make_shared<CProgressDialog>(this);
    m_progress->AddObserver(this);
    g_executor.Execute(mode == 0 ? &m_readItem : &m_writeItem);
    m_progress->Run(mode);
    ShowPendingError();
    if (mode == 0) {
        if (m_readModel) SetCurrentModel(std::shared_ptr<CDevInterface>(std::move(m_readModel)));
        RefreshModel();
    }
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
    m_pendingError =
        Guarded(*m_progress, [this] { m_readModel = ::ReadFromDevice(*m_master, *m_progress); });
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
    m_lastDownload.reset();
    const bool verify = m_appSettings.GetVerifyAfterDownload();
    std::optional<VerifyResult> verification;
    bool written = false;
    m_pendingError = Guarded(*m_progress, [&] {
        written = WriteAndVerify(*m_master, *m_device, *m_progress, verify, &verification,
                                 kVerifyLinesShown);
    });
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

void CNorveltDlg::ShowPendingError() {
    if (!m_pendingError) return;
    const std::string text = TruncateUtf8(*m_pendingError, 1023);
    m_pendingError.reset();
    const std::string templ = g_resources.GetMessageText("comerr");
    // Without the wrapper text the error's own text still reaches the user.
    ShowError(this, templ.empty() ? text : platform::FormatMessageText(templ, {text, text}),
              MessageIcon::Error);
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
    if (m_fileChooser) return m_fileChooser(save, title, filter);
    QFileDialog dialog(this, title, QString(), filter);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(suffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    std::string path = FromQ(dialog.selectedFiles().first());
    // The chosen filter decides the kind of a report whose name has no extension of its own.
    if (save && suffix != "cfg" && dialog.selectedNameFilter().contains("*.pdf") &&
        !QString::fromStdString(path).endsWith(".pdf", Qt::CaseInsensitive) &&
        !QString::fromStdString(path).endsWith(".html", Qt::CaseInsensitive))
        path += ".pdf";
    return path;
}

std::string CNorveltDlg::ChooseConfigurationFile(bool save) {
    return ChooseFile(save, ToQ(g_resources.GetMessageText(save ? "tb2" : "tb3")),
                      FileFilter(g_resources.GetMessageText("fopenfilter")), "cfg");
}

void CNorveltDlg::SaveReport() {
    QString title = ToQ(g_resources.GetMessageText("report.save"));
    while (title.endsWith('.') || title.endsWith(QChar(0x2026))) title.chop(1);
    const std::string path =
        ChooseFile(true, title, FileFilter(g_resources.GetMessageText("report.filter")), "html");
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
    if (!path.empty()) ::SaveConfiguration(*m_device, path);
}

void CNorveltDlg::LoadConfiguration() {
    const std::string path = ChooseConfigurationFile(false);
    if (path.empty()) return;
    SetCurrentModel(::LoadConfiguration(path));
    RefreshModel();
}

void CNorveltDlg::reject() {
    if (m_list->IsEditing()) m_list->HideEditors();
}

void CNorveltDlg::closeEvent(QCloseEvent* event) {
    event->accept();
    done(QDialog::Accepted);
}
