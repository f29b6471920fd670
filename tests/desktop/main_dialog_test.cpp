// The main window: commands, model menu, language switch, transfers and files.
#include "app/desktop/main_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTime>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidgetItem>
#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>

#include "app/private_exception.h"
#include "app/settings.h"
#include "modbus/modbus_interface.h"
#include "model/dev_types.h"
#include "model/modbus_mapping.h"
#include "platform/message_format.h"
#include "session/config_file.h"
#include "sim_line.h"
#include "ui/parameter_list.h"
#include "ui/progress_dialog.h"
#include "ui/status_line.h"
#include "ui/traffic_window.h"
#include "ui/ui_support.h"

namespace {

// The connection step, scripted: the port is always chosen, the password typed is given.
class ScriptedUi : public ConnectionUi {
public:
    bool ChoosePort(ComSettings& s) override {
        s.COMPortName = "/dev/simulated";
        return true;
    }
    bool AskPassword(CModbusInterface& master) override {
        return SendPassword(master, password).empty();
    }
    void ShowError(const std::string& text) override { errors.push_back(text); }
    std::string password;
    std::vector<std::string> errors;
};

// A simulated line that lets the test look at the window while a request goes out.
struct WatchLine : testing_support::SimLine {
    using SimLine::SimLine;
    size_t Write(const uint8_t* buffer, size_t n) override {
        if (onFirstWrite && !written.exchange(true)) onFirstWrite();
        return SimLine::Write(buffer, n);
    }
    std::function<void()> onFirstWrite;  // the connection step's probe, on the UI thread
    std::atomic<bool> written{false};
};

// A main window whose master talks to a simulated device in-process.
struct Rig {
    explicit Rig(const char* model, const std::function<void(devsim::SimConfig&)>& configure = {})
        : sim([&] {
              devsim::SimConfig c;
              c.entry = CDevType::FindModel(model);
              if (configure) configure(c);
              return c;
          }()) {
        auto owned = std::make_unique<WatchLine>(sim);
        line = owned.get();
        auto master = std::make_unique<CModbusInterface>(ComSettings{}, std::move(owned));
        master->SetSleepFunction([](uint32_t) {});
        dialog = std::make_unique<CNorveltDlg>(std::move(master));
        dialog->SetConnectionUi(&ui);
    }
    devsim::CDeviceSim sim;
    WatchLine* line;
    ScriptedUi ui;
    std::unique_ptr<CNorveltDlg> dialog;
};

// Types a value into a parameter's row as the user does, and commits it with Enter.
void EditRow(CNorveltDlg& d, const char* key, const QString& text) {
    CParameterListCtrl* list = d.List();
    list->SelectRow(list->RowOfParameter(d.Device()->IndexOf(key)));
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Return);
    ASSERT_TRUE(list->textEditor() && list->textEditor()->isVisible()) << key;
    list->textEditor()->selectAll();
    QTest::keyClicks(list->textEditor(), text);
    QTest::keyClick(list->textEditor(), Qt::Key_Return);
}

std::string Message(const char* key, std::initializer_list<platform::FormatArg> args = {}) {
    return CPrivateException(CPrivateException::Key{key}, args).Message();
}

// A status text that carries the time of day matches the time just before or after the command.
bool MatchesAtSomeMinute(const QString& shown, const std::function<std::string(std::string)>& text,
                         const std::string& before) {
    const std::string after = QTime::currentTime().toString("HH:mm").toStdString();
    return shown.toStdString() == text(before) || shown.toStdString() == text(after);
}

class MainDialog : public ::testing::Test {
protected:
    void SetUp() override { g_resources.Init(); }
    void TearDown() override { EXPECT_FALSE(questions.unexpected) << "a question nobody answered"; }
    ui_support::MessageRecorder messages;
    ui_support::QuestionScript questions;
    testing_support::TempDir dir;
};

}  // namespace

TEST_F(MainDialog, StartsWithTheFirstModelAndItsTexts) {
    Rig rig("RB16KT5_2");
    CNorveltDlg& d = *rig.dialog;
    EXPECT_EQ(d.Device()->TypeCode(), CDevType::Entry(0).typeCode);
    EXPECT_EQ(d.ModelButton()->text().toStdString(), " " + CDevType().LongName(0));
    EXPECT_EQ(d.windowTitle().toStdString(),
              std::string(d.Device()->ModelCode()) + " — " + g_resources.GetGuiText(102, 0));
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(d.CommandButton(k)->text().toStdString(),
                  g_resources.GetMessageText("tb" + std::to_string(k)));
    EXPECT_EQ(d.List()->RowCount(), 20);  // 22 rows, two of them group headings
    // The five buttons share the width equally.
    EXPECT_EQ(d.CommandButton(1)->x(), d.CommandButton(0)->width());
    EXPECT_TRUE(messages.messages.empty());
}

TEST_F(MainDialog, ModelMenuGivesAFreshModelAndEscapeNeverCloses) {
    Rig rig("RB16KT5_2");
    CNorveltDlg& d = *rig.dialog;
    d.show();
    auto before = d.Device();
    d.OnCommand(CMD_MODEL_FIRST + 0);
    EXPECT_NE(d.Device(), before) << "the same model again is a fresh one";
    d.OnCommand(CMD_MODEL_FIRST + 6);
    EXPECT_EQ(d.Device()->TypeCode(), CDevType::Entry(6).typeCode);
    EXPECT_EQ(d.ModelButton()->text().toStdString(), " " + CDevType().LongName(6));
    QTest::keyClick(&d, Qt::Key_Escape);
    EXPECT_TRUE(d.isVisible());
    int finished = 0;
    QObject::connect(&d, &QDialog::finished, [&] { ++finished; });
    d.close();
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(finished, 1) << "closing the window ends the program's run";
}

// The keyboard works in the list from the start, after an abandoned edit and after an upload.
TEST_F(MainDialog, TheListKeepsTheKeyboard) {
    Rig rig("RB16KT5_2");
    CNorveltDlg& d = *rig.dialog;
    d.show();
    d.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
    CParameterListCtrl* list = d.List();
    EXPECT_TRUE(list->hasFocus()) << "at start";

    list->SelectRow(list->RowOfParameter(d.Device()->IndexOf("panid")));
    ui_support::PressKey(&d, Qt::Key_Return);
    ASSERT_TRUE(list->textEditor()->isVisible());
    ui_support::PressKey(&d, Qt::Key_Escape);
    EXPECT_TRUE(d.isVisible());
    EXPECT_FALSE(list->IsEditing());
    EXPECT_TRUE(list->hasFocus()) << "after Escape";
    ui_support::PressKey(&d, '7');
    EXPECT_TRUE(list->textEditor()->isVisible()) << "typing starts the edit again";
    EXPECT_EQ(list->textEditor()->text(), "7");
    ui_support::PressKey(&d, Qt::Key_Escape);

    d.ModelButton()->setFocus();
    d.OnCommand(CMD_UPLOAD);
    ASSERT_TRUE(messages.messages.empty()) << messages.messages[0].text;
    // The progress window leaves no window active on this platform; a desktop reactivates.
    QApplication::setActiveWindow(&d);
    EXPECT_TRUE(list->hasFocus()) << "after an upload";
}

// A normal top-level window with caption, system menu, minimise and close box, never a dialog
// that the window manager would keep above a leader window and out of the task bar.
TEST_F(MainDialog, IsANormalTopLevelWindowWithAMinimiseBox) {
    Rig rig("RB16KT5_2");
    CNorveltDlg& d = *rig.dialog;
    const Qt::WindowFlags flags = d.windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Window);
    for (Qt::WindowType hint : {Qt::WindowTitleHint, Qt::WindowSystemMenuHint,
                                Qt::WindowMinimizeButtonHint, Qt::WindowCloseButtonHint})
        EXPECT_TRUE(flags.testFlag(hint)) << hint;
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(d.parentWidget(), nullptr);
    d.show();
    EXPECT_EQ(d.minimumSize(), d.maximumSize()) << "fixed size";
    d.showMinimized();
    EXPECT_TRUE(d.isMinimized());
}

TEST_F(MainDialog, MonitorRunsWhileTheMainWindowIsHidden) {
    Rig rig("RB16T5-PLX4M_2");
    CNorveltDlg& d = *rig.dialog;
    d.show();
    int finished = 0;
    QObject::connect(&d, &QDialog::finished, [&] { ++finished; });
    bool hiddenDuringMonitor = false;
    d.move(120, 90);
    const QPoint where = d.pos();
    d.SetMonitorRunner([&](CModbusInterface&) {
        hiddenDuringMonitor = !d.isVisible();
        // As a window manager may when it maps the window again.
        d.move(d.pos() + QPoint(10, 40));
    });
    const std::string minute = QTime::currentTime().toString("HH:mm").toStdString();
    d.OnCommand(CMD_MONITOR);
    EXPECT_TRUE(hiddenDuringMonitor);
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(d.pos(), where) << "the window comes back where it was";
    EXPECT_EQ(finished, 0) << "hiding for the monitor does not end the main window";
    EXPECT_EQ(rig.line->Requests(3).size(), 1u) << "the connection step's probe";
    const QString outcome = d.StatusLine()->Outcome();
    EXPECT_TRUE(MatchesAtSomeMinute(
        outcome, [](const std::string& at) { return Message("st.monitored", {"/dev/simulated", at}); },
        minute))
        << "not still \"Connecting\": " << outcome.toStdString();
}

// The language switch's timer may fire inside the modal loop that a button's click started; the
// button must still be there when its click returns.
TEST_F(MainDialog, LanguageSwitchInsideACommandKeepsItsButton) {
    Rig rig("RB16T5-PLX4M_2");
    CNorveltDlg& d = *rig.dialog;
    d.show();
    QPointer<QToolButton> monitor = d.CommandButton(4);
    d.SetMonitorRunner([&](CModbusInterface&) { d.ApplyLanguage(); });
    QTest::mouseClick(monitor, Qt::LeftButton);
    ASSERT_NE(monitor, nullptr) << "the button was deleted inside its own click";
    EXPECT_EQ(d.CommandButton(4), monitor.data());
    EXPECT_EQ(monitor->text().toStdString(), g_resources.GetMessageText("tb4"));
}

// Two switches 50 ms apart apply the language once, no sooner than 100 ms after the second: the
// second restarts the delay. Only a lower bound on the time is checked, which no load can break.
TEST_F(MainDialog, LanguageSwitchAppliesOnceAfterTheDelayAndIsSaved) {
    Rig rig("RB16KT5_2");
    CNorveltDlg& d = *rig.dialog;
    const QString english = d.CommandButton(0)->text();
    QSignalSpy switched(&d, &CNorveltDlg::LanguageSwitched);
    d.OnCommand(CMD_JAPANESE);
    QTest::qSleep(50);  // blocks without running the first delay
    QElapsedTimer sinceSecond;
    sinceSecond.start();
    d.OnCommand(CMD_JAPANESE);
    EXPECT_EQ(d.CommandButton(0)->text(), english) << "not before the delay";
    ASSERT_TRUE(switched.wait(5000));
    EXPECT_GE(sinceSecond.elapsed(), 100);
    QCoreApplication::processEvents();
    EXPECT_EQ(switched.count(), 1);
    EXPECT_TRUE(switched.at(0).at(0).toBool());
    EXPECT_EQ(g_resources.GetLanguageName(), "日本語");
    EXPECT_EQ(d.CommandButton(0)->text().toStdString(), g_resources.GetMessageText("tb0"));
    // The status line speaks the new language, the model's name in it too.
    EXPECT_EQ(d.StatusLine()->Origin().toStdString(), Message("st.new", {CDevType().LongName(0)}));
    EXPECT_NE(d.StatusLine()->Origin().toStdString().find("無線"), std::string::npos)
        << d.StatusLine()->Origin().toStdString();
    CAppSettings saved;
    saved.Load();
    EXPECT_EQ(saved.GetLanguageFile(), "Japanese.lng");
    // Back to English for the other tests.
    d.AppSettings().SetLanguageFile("English.lng");
    d.AppSettings().Save();
    d.ApplyLanguage();
}

// A file that fails to load is reported, its name is not saved, and the texts of the language
// that loaded before stay; at start a saved file that fails gives English, with one message.
TEST_F(MainDialog, ALanguageFileThatFailsIsNotKept) {
    const std::string broken =
        dir.Write("Broken.lng", "<root><application>NORVELCO</application></root>");
    {
        Rig rig("RB16KT5_2");
        CNorveltDlg& d = *rig.dialog;
        const QString english = d.CommandButton(0)->text();
        QSignalSpy switched(&d, &CNorveltDlg::LanguageSwitched);
        d.SwitchLanguage(broken);
        ASSERT_TRUE(switched.wait(5000));
        EXPECT_FALSE(switched.at(0).at(0).toBool());
        ASSERT_EQ(messages.messages.size(), 1u);
        EXPECT_EQ(messages.messages[0].icon, MessageIcon::Error);
        EXPECT_NE(messages.messages[0].text.find("Illegal format"), std::string::npos);
        EXPECT_EQ(d.CommandButton(0)->text(), english) << "the texts that loaded stay";
        EXPECT_EQ(d.AppSettings().GetLanguageFile(), "English.lng");
        CAppSettings saved;
        saved.Load();
        EXPECT_EQ(saved.GetLanguageFile(), "English.lng");
    }
    messages.messages.clear();
    CAppSettings settings;
    settings.SetLanguageFile(broken);
    settings.Save();
    {
        Rig rig("RB16KT5_2");
        CNorveltDlg& d = *rig.dialog;
        ASSERT_EQ(messages.messages.size(), 1u);
        EXPECT_NE(messages.messages[0].text.find("Broken.lng"), std::string::npos);
        EXPECT_EQ(g_resources.GetLanguageName(), "English");
        EXPECT_NE(d.windowTitle().toStdString().find(g_resources.GetGuiText(102, 0)),
                  std::string::npos);
        EXPECT_EQ(d.CommandButton(0)->text().toStdString(), g_resources.GetMessageText("tb0"));
        d.show();
        QEvent change(QEvent::ThemeChange);
        QCoreApplication::sendEvent(&d, &change);
        QCoreApplication::processEvents();
        EXPECT_EQ(messages.messages.size(), 1u) << "the error is shown once";
    }
    settings.SetLanguageFile("English.lng");
    settings.Save();
}

// A desktop font, style or theme change rebuilds the command bar and the list, but only once the
// window is no longer minimised.
TEST_F(MainDialog, SystemSettingsChangesRebuildTheLayoutWhenNotMinimised) {
    Rig rig("RB16KT5_2");
    CNorveltDlg& d = *rig.dialog;
    d.show();
    for (QEvent::Type type :
         {QEvent::ThemeChange, QEvent::ApplicationFontChange, QEvent::StyleChange}) {
        SCOPED_TRACE(type);
        QPointer<QToolButton> button = d.CommandButton(0);
        d.showMinimized();
        QEvent change(type);
        QCoreApplication::sendEvent(&d, &change);
        QCoreApplication::processEvents();
        EXPECT_TRUE(button) << "nothing is rebuilt while minimised";
        d.showNormal();
        QCoreApplication::processEvents();
        // The buttons are rebuilt in place: a click in progress may still hold one.
        EXPECT_EQ(d.CommandButton(0), button.data()) << "rebuilt in place once restored";
        ASSERT_NE(d.CommandButton(4), nullptr);
        EXPECT_EQ(d.CommandButton(4)->x(), 4 * (d.contentsRect().width() / 5));
        EXPECT_EQ(d.List()->RowCount(), 20);
    }
    QPointer<QToolButton> button = d.CommandButton(0);
    d.showNormal();
    QCoreApplication::processEvents();
    EXPECT_TRUE(button) << "restoring alone rebuilds nothing";
}

TEST_F(MainDialog, UploadReplacesTheModelAndDownloadWritesIt) {
    Rig rig("RB16KT5QD");
    CNorveltDlg& d = *rig.dialog;
    rig.sim.SetRegister(1200, 0x4321);
    d.OnCommand(CMD_UPLOAD);
    ASSERT_TRUE(messages.messages.empty()) << messages.messages[0].text;
    EXPECT_EQ(d.Device()->TypeCode(), 19730);
    EXPECT_EQ(d.Device()->Find("panid").GetText(), "4321");
    EXPECT_EQ(d.ModelButton()->text().toStdString(), " " + CDevType().LongName(6));

    d.Device()->Find("panid").SetText("0042");
    d.OnCommand(CMD_DOWNLOAD);
    EXPECT_TRUE(messages.messages.empty());
    EXPECT_EQ(rig.sim.Register(1200), 0x42);
}

TEST_F(MainDialog, DownloadChecksWhatWasWrittenInTheSameProgressWindow) {
    Rig rig("RB16KT5QD");
    CNorveltDlg& d = *rig.dialog;
    d.OnCommand(CMD_MODEL_FIRST + CDevType::FindModel("RB16KT5QD"));
    d.Device()->Find("panid").SetText("0042");
    // Every position the bar takes, watched from the moment the progress window shows.
    std::vector<int> sent;
    QTimer watch;
    watch.setInterval(0);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!d.Progress() || !d.Progress()->isVisible()) return;
        QObject::connect(d.Progress()->Bar(), &QProgressBar::valueChanged,
                         [&](int v) { sent.push_back(v); });
        watch.stop();
    });
    watch.start();
    d.OnCommand(CMD_DOWNLOAD);
    ASSERT_TRUE(messages.messages.empty()) << messages.messages[0].text;
    const auto pass = [](int k, const char* what) {
        return QString::fromStdString(
            testing_support::KeyText("passof", {k, 2, g_resources.GetMessageText(what)}));
    };
    const CProgressDialog& progress = *d.Progress();
    EXPECT_EQ(progress.PassTexts(),
              (std::vector<QString>{pass(1, "downloading"), pass(2, "verifying")}));
    EXPECT_EQ(progress.Status()->text(), pass(2, "verifying"));
    // The bar runs to its end twice.
    const int full = CProgressDialog::kRange;
    EXPECT_EQ(std::count(sent.begin(), sent.end(), full), 4) << "1.0 sent as full, full-1, full";
    EXPECT_EQ(sent.back(), full);
    const auto writes = rig.line->Requests(16), reads = rig.line->Requests(3);
    ASSERT_GE(reads.size(), writes.size());
    EXPECT_EQ(rig.sim.Register(1200), 0x42);

    // Turned off, the download is the write alone.
    d.AppSettings().SetVerifyAfterDownload(false);
    const size_t readsBefore = rig.line->Requests(3).size();
    d.OnCommand(CMD_DOWNLOAD);
    EXPECT_TRUE(d.Progress()->PassTexts().empty());
    EXPECT_EQ(d.Progress()->Status()->text().toStdString(),
              g_resources.GetMessageText("downloading"));
    EXPECT_EQ(rig.line->Requests(3).size(), readsBefore + 3) << "probe and identification only";
}

TEST_F(MainDialog, VerificationFailureNamesTheParameterInItsMessage) {
    Rig rig("RB16KT5_2", [](devsim::SimConfig& c) { c.stuck = {1211}; });
    CNorveltDlg& d = *rig.dialog;
    d.Device()->Find("sadrs").SetText("0042");
    d.OnCommand(CMD_DOWNLOAD);
    ASSERT_EQ(messages.messages.size(), 1u);
    const std::string& text = messages.messages[0].text;
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Error);
    EXPECT_NE(text.find(testing_support::KeyText(
                  "verifyline", {d.Device()->Find("sadrs").GetLabel(), "0042", "0000"})),
              std::string::npos)
        << text;
}

TEST_F(MainDialog, ReportIsSavedAsHtmlOrPdfWithTheDownloadsFindings) {
    Rig rig("RB16T5-SQ7_2", [](devsim::SimConfig& c) { c.serialNumber = "UNIT-0042"; });
    CNorveltDlg& d = *rig.dialog;
    std::string next;
    d.SetFileChooser([&](bool save, const QString&, const QString& filter) {
        EXPECT_TRUE(save);
        EXPECT_TRUE(filter.contains("*.pdf")) << filter.toStdString();
        return next;
    });
    d.OnCommand(CMD_UPLOAD);
    d.OnCommand(CMD_DOWNLOAD);
    ASSERT_TRUE(messages.messages.empty()) << messages.messages[0].text;
    int32_t compared = 0;
    for (int i = 0; i < d.Device()->Count(); ++i) compared += d.Device()->At(i).Type() != PAR_GROUP;
    const std::string passed = testing_support::KeyText("report.verifyok", {compared});

    next = dir.File("unit.html");
    d.SaveReport();
    std::string html = testing_support::ReadFile(next);
    EXPECT_NE(html.find("UNIT-0042"), std::string::npos);
    EXPECT_NE(html.find(passed), std::string::npos);

    next = dir.File("unit.pdf");
    d.SaveReport();
    EXPECT_EQ(testing_support::ReadFile(next).rfind("%PDF-", 0), 0u);

    // Once the list holds something else, the report no longer claims the device holds it.
    d.Device()->Find("zscal").SetText("-1234");
    next = dir.File("edited.html");
    d.SaveReport();
    html = testing_support::ReadFile(next);
    EXPECT_EQ(html.find(passed), std::string::npos);
    EXPECT_EQ(html.find("UNIT-0042"), std::string::npos);

    next = dir.File("no/such/folder/r.html");
    EXPECT_THROW(d.SaveReport(), CPrivateException);
}

// The error of a transfer that ran (the connection step passed) reaches the user inside the
// "comerr" text with the error icon, and the model shown before stays current.
TEST_F(MainDialog, TransferErrorsAreShownInsideTheWrapperAndKeepTheModel) {
    Rig rig("RB16KT5_2");
    CNorveltDlg& d = *rig.dialog;
    auto wrapped = [](const std::string& error) {
        return platform::FormatMessageText(g_resources.GetMessageText("comerr"), {error, error});
    };
    ASSERT_NE(wrapped("x"), "x");
    d.OnCommand(CMD_MODEL_FIRST + 3);
    auto shown = d.Device();
    d.OnCommand(CMD_DOWNLOAD);  // a RB16KT5QA model to a RB16KT5_2 device
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0].text, wrapped(g_resources.GetMessageText("diffdev")));
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Error);
    EXPECT_TRUE(rig.line->Requests(16).empty());

    // The probe passes; the upload then finds a type code that no model has.
    messages.messages.clear();
    ASSERT_TRUE(rig.sim.SetRegister(3003, 12));
    d.OnCommand(CMD_UPLOAD);
    EXPECT_TRUE(rig.ui.errors.empty()) << "the connection step passed";
    EXPECT_GE(rig.line->Requests(3).size(), 2u) << "the upload ran after the probe";
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0].text,
              wrapped(testing_support::KeyText("unknowndev", {int32_t{12}})));
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Error);
    EXPECT_EQ(d.Device(), shown);
    EXPECT_EQ(d.List()->Model(), shown);
    EXPECT_EQ(d.ModelButton()->text().toStdString(), " " + CDevType().LongName(3));
}

// A value its parameter does not allow is marked on loading and stops a download before the
// connection step; a download that stops part-way says how far it got.
TEST_F(MainDialog, RefusedValuesAndPartWayDownloadsAreToldToTheUser) {
    Rig rig("RB16KT5_2");
    CNorveltDlg& d = *rig.dialog;
    auto bad = CDevType().Create(0, 0, DEV_SETTINGS);
    bad->Find("rate").Value().SetWord(0, 99);
    const std::string path = dir.File("bad.cfg");
    SaveConfiguration(*bad, path);
    d.SetFileChooser([&](bool, const QString&, const QString&) { return path; });
    d.OnCommand(CMD_LOAD);
    const int rate = d.Device()->IndexOf("rate");
    EXPECT_EQ(d.Device()->At(rate).Value().Word(0), 99) << "the file still loads";
    EXPECT_TRUE(d.List()->IsInvalid(rate));
    EXPECT_EQ(d.List()->RowItem(d.List()->RowOfParameter(rate))->text(1), "99")
        << "the raw value stands in for the missing list text";
    EXPECT_FALSE(d.List()->IsInvalid(d.Device()->IndexOf("parity")));
    ASSERT_EQ(messages.messages.size(), 1u);
    const std::string label = d.Device()->At(rate).GetLabel();
    EXPECT_NE(messages.messages[0].text.find(label), std::string::npos);

    d.OnCommand(CMD_DOWNLOAD);
    ASSERT_EQ(messages.messages.size(), 2u);
    EXPECT_NE(messages.messages[1].text.find(label + ": 99"), std::string::npos)
        << messages.messages[1].text;
    EXPECT_EQ(rig.line->RequestCount(), 0u) << "not even the connection step";

    // Corrected, it is written; the device stops answering after the first block.
    d.Device()->At(rate).SetNumber(1);
    d.List()->Refresh();
    EXPECT_FALSE(d.List()->IsInvalid(rate));
    rig.line->answerWrites = 1;
    d.OnCommand(CMD_DOWNLOAD);
    ASSERT_EQ(messages.messages.size(), 3u);
    CModbusMapping image;
    image.AddModel(*d.Device());
    EXPECT_NE(messages.messages[2].text.find(testing_support::KeyText(
                  "mixwarn", {1, static_cast<int32_t>(image.Blocks().size())})),
              std::string::npos)
        << messages.messages[2].text;
}

// The file dialogs suggest a name from what the list came from and start where the user
// last chose a file.
TEST_F(MainDialog, FileDialogsSuggestModelAndSerialAndStartInTheLastFolder) {
    Rig rig("RB16T5-SQ7_2", [](devsim::SimConfig& c) { c.serialNumber = "UNIT/0042"; });
    CNorveltDlg& d = *rig.dialog;
    SavePreferenceText("LastFolder", "");
    const QString home = QDir::homePath();
    auto start = [&](bool save, const char* suffix) {
        return d.FileDialogStart(save, suffix).toStdString();
    };
    const std::string model = d.Device()->ModelCode();
    EXPECT_EQ(start(true, "cfg"), FromQ(home) + "/" + model + ".cfg") << "defaults: the model";
    EXPECT_EQ(start(false, "cfg"), FromQ(home)) << "an open dialog names no file that is not there";

    d.OnCommand(CMD_UPLOAD);
    ASSERT_TRUE(messages.messages.empty()) << messages.messages[0].text;
    const std::string read = d.Device()->ModelCode() + std::string("_UNIT_0042");
    EXPECT_EQ(start(true, "cfg"), FromQ(home) + "/" + read + ".cfg");
    EXPECT_EQ(start(true, "html"), FromQ(home) + "/" + read + ".html") << "the report too";

    const std::string site = dir.File("site");
    std::filesystem::create_directory(site);
    std::string next = site + "/" + read + ".cfg";
    d.SetFileChooser([&](bool, const QString&, const QString&) { return next; });
    d.OnCommand(CMD_SAVE);
    EXPECT_EQ(LoadPreferenceText("LastFolder", ""), site) << "kept in the settings";
    EXPECT_EQ(start(false, "cfg"), next) << "the file is there now";

    next = dir.File("other.cfg");  // the open file's own name and folder for its next save
    d.OnCommand(CMD_SAVE);
    next = site + "/x.html";
    d.SaveReport();
    EXPECT_EQ(start(true, "cfg"), dir.File("other.cfg"));
    EXPECT_EQ(start(true, "html"), site + "/other.html");

    d.OnCommand(CMD_MODEL_FIRST + 3);  // fresh defaults: no serial from the earlier read
    EXPECT_EQ(start(true, "cfg"), site + "/" + d.Device()->ModelCode() + ".cfg");
    SavePreferenceText("LastFolder", "");
}

TEST_F(MainDialog, FilesSaveAndLoadThroughTheChooser) {
    Rig rig("RB16KT5_2");
    CNorveltDlg& d = *rig.dialog;
    std::string next;
    std::vector<QString> titles;
    d.SetFileChooser([&](bool, const QString& title, const QString& filter) {
        titles.push_back(title);
        EXPECT_TRUE(filter.contains("*.cfg")) << filter.toStdString();
        return next;
    });
    d.OnCommand(CMD_MODEL_FIRST + 2);
    d.Device()->Find("zscal").SetText("-1234");
    next = dir.File("a.cfg");
    d.OnCommand(CMD_SAVE);
    d.OnCommand(CMD_MODEL_FIRST + 0);
    d.OnCommand(CMD_LOAD);
    EXPECT_EQ(d.Device()->TypeCode(), CDevType::Entry(2).typeCode);
    EXPECT_EQ(d.Device()->Find("zscal").GetText(), "-1234");
    EXPECT_EQ(titles[0].toStdString(), g_resources.GetMessageText("tb2"));
    EXPECT_EQ(titles[1].toStdString(), g_resources.GetMessageText("tb3"));

    next = "";  // cancelled: nothing happens
    auto kept = d.Device();
    d.OnCommand(CMD_LOAD);
    EXPECT_EQ(d.Device(), kept);
    next = dir.Write("bad.cfg", "<root/>");
    d.OnCommand(CMD_LOAD);
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0].text, g_resources.GetMessageText("illfileerr"));
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(d.Device(), kept);
}

TEST_F(MainDialog, Screenshots) {
    for (const char* language : {"English.lng", "Japanese.lng"}) {
        CAppSettings settings;
        settings.SetLanguageFile(language);
        settings.Save();
        Rig rig("RB16T5-SQ7_2");
        rig.dialog->OnCommand(CMD_UPLOAD);
        rig.dialog->show();
        QTest::qWait(20);
        ui_support::SaveScreenshot(
            rig.dialog.get(), std::string("main-") + language,
            ui_support::DialogSize(rig.dialog.get(), 400, 424 + 22));  // with the status line
    }
    CAppSettings settings;
    settings.SetLanguageFile("English.lng");
    settings.Save();
}

TEST_F(MainDialog, StatusLineTellsWhereTheListCameFromAndHowEachCommandEnded) {
    Rig rig("RB16KT5QA");
    CNorveltDlg& d = *rig.dialog;
    d.show();
    CStatusLine& status = *d.StatusLine();
    const std::string caption = g_resources.GetGuiText(102, 0);
    EXPECT_EQ(status.Origin().toStdString(), Message("st.new", {CDevType().LongName(0)}));
    EXPECT_TRUE(status.Outcome().isEmpty());

    std::string minute = QTime::currentTime().toString("HH:mm").toStdString();
    d.OnCommand(CMD_UPLOAD);
    ASSERT_TRUE(messages.messages.empty()) << messages.messages[0].text;
    int32_t count = 0;
    for (int i = 0; i < d.Device()->Count(); ++i) count += d.Device()->At(i).Type() != PAR_GROUP;
    EXPECT_TRUE(MatchesAtSomeMinute(
        status.Origin(),
        [](const std::string& at) {
            return Message("st.fromdeviceserial",
                           {"RB16KT5QA", "1.0.0", "SIM00000001", "/dev/simulated", at});
        },
        minute))
        << status.Origin().toStdString();
    EXPECT_TRUE(MatchesAtSomeMinute(
        status.Outcome(),
        [&](const std::string& at) {
            return Message("st.read", {count, at});
        },
        minute))
        << status.Outcome().toStdString();
    EXPECT_FALSE(status.OutcomeIsError());
    EXPECT_EQ(d.windowTitle().toStdString(), "RB16KT5QA — " + caption);

    // An edit marks the list and the title until the values are kept somewhere.
    EditRow(d, "panid", "0042");
    EXPECT_TRUE(d.Modified());
    EXPECT_TRUE(status.Modified());
    EXPECT_EQ(d.windowTitle().toStdString(), "RB16KT5QA* — " + caption);
    minute = QTime::currentTime().toString("HH:mm").toStdString();
    d.OnCommand(CMD_DOWNLOAD);
    EXPECT_EQ(rig.sim.Register(1200), 0x42);
    EXPECT_TRUE(MatchesAtSomeMinute(
        status.Outcome(),
        [&](const std::string& at) {
            return Message("st.written", {count, at});
        },
        minute));
    EXPECT_FALSE(d.Modified()) << "written to the device, nothing is lost";

    std::string next = dir.File("site7.cfg");
    d.SetFileChooser([&](bool, const QString&, const QString&) { return next; });
    EditRow(d, "panid", "0043");
    d.OnCommand(CMD_SAVE);
    EXPECT_EQ(status.Outcome().toStdString(), Message("st.saved", {"site7.cfg"}));
    EXPECT_FALSE(d.Modified());
    EXPECT_EQ(d.windowTitle().toStdString(), "site7.cfg — " + caption);
    EditRow(d, "panid", "0044");
    EXPECT_EQ(d.windowTitle().toStdString(), "site7.cfg* — " + caption);

    questions.answers = {Answer::Discard};
    d.OnCommand(CMD_LOAD);
    EXPECT_EQ(status.Origin().toStdString(), Message("st.opened", {"site7.cfg"}));
    EXPECT_EQ(d.Device()->Find("panid").GetText(), "0043");
    EXPECT_EQ(d.windowTitle().toStdString(), "site7.cfg — " + caption);

    // A failed read: the error's first line in red, the list and its origin as they were.
    rig.line->silent = true;
    const auto shown = d.Device();
    d.OnCommand(CMD_UPLOAD);
    ASSERT_EQ(rig.ui.errors.size(), 1u);
    const std::string& error = rig.ui.errors[0];
    EXPECT_EQ(status.Outcome().toStdString(), error.substr(0, error.find('\n')));
    EXPECT_TRUE(status.OutcomeIsError());
    EXPECT_EQ(status.Origin().toStdString(), Message("st.opened", {"site7.cfg"}));
    EXPECT_EQ(d.Device(), shown);
}

TEST_F(MainDialog, ProbeShowsTheWaitCursorAndWhereItConnects) {
    Rig rig("RB16KT5_2");
    CNorveltDlg& d = *rig.dialog;
    d.show();
    Qt::CursorShape during = Qt::ArrowCursor;
    QString status;
    rig.line->onFirstWrite = [&] {
        during = d.cursor().shape();
        status = d.StatusLine()->Outcome();
    };
    d.OnCommand(CMD_UPLOAD);
    EXPECT_EQ(during, Qt::WaitCursor);
    EXPECT_EQ(status.toStdString(), Message("st.connecting", {"/dev/simulated"}));
    EXPECT_EQ(d.cursor().shape(), Qt::ArrowCursor) << "back once the probe has answered";
}

TEST_F(MainDialog, UnsavedEditsAreAskedForBeforeTheyWouldBeLost) {
    enum Action { CLOSE, MODEL, OPEN, UPLOAD };
    struct Case {
        Action action;
        std::optional<Answer> answer;  // none: nothing was edited, nothing is asked
    };
    const std::string other = dir.File("other.cfg");
    {
        auto model = CDevType().Create(2, 0, DEV_SETTINGS);
        SaveConfiguration(*model, other);
    }
    int n = 0;
    for (Action action : {CLOSE, MODEL, OPEN, UPLOAD}) {
        for (std::optional<Answer> answer :
             {std::optional<Answer>(), std::optional(Answer::Save), std::optional(Answer::Discard),
              std::optional(Answer::Cancel)}) {
            SCOPED_TRACE(testing::Message() << "action " << action << ", answer "
                                            << (answer ? static_cast<int>(*answer) : -1));
            Rig rig("RB16KT5_2");
            CNorveltDlg& d = *rig.dialog;
            d.show();
            const std::string saved = dir.File("saved" + std::to_string(++n) + ".cfg");
            int opened = 0;
            d.SetFileChooser([&](bool save, const QString&, const QString&) {
                if (save) return saved;
                ++opened;
                return other;
            });
            if (answer) {
                EditRow(d, "panid", "0042");
                questions.answers = {*answer};
            }
            const auto before = d.Device();
            switch (action) {
                case CLOSE:
                    d.close();
                    break;
                case MODEL:
                    d.OnCommand(CMD_MODEL_FIRST + 0);
                    break;  // the current one
                case OPEN:
                    d.OnCommand(CMD_LOAD);
                    break;
                case UPLOAD:
                    d.OnCommand(CMD_UPLOAD);
                    break;
            }
            const bool wentOn = action == CLOSE ? !d.isVisible() : d.Device() != before;
            if (!answer) {
                EXPECT_TRUE(questions.asked.empty());
                EXPECT_TRUE(wentOn);
            } else {
                ASSERT_EQ(questions.asked.size(), 1u);
                EXPECT_EQ(questions.asked[0], Message("ask.savenew"));
                EXPECT_EQ(wentOn, *answer != Answer::Cancel);
                EXPECT_EQ(std::filesystem::exists(saved), *answer == Answer::Save);
                if (*answer == Answer::Save) {
                    EXPECT_EQ(LoadConfiguration(saved)->Find("panid").GetText(), "0042");
                }
                if (*answer == Answer::Cancel) {
                    EXPECT_TRUE(d.Modified());
                    EXPECT_EQ(d.Device()->Find("panid").GetText(), "0042");
                    EXPECT_EQ(opened, 0);
                    EXPECT_TRUE(rig.line->Requests(3).empty()) << "nothing sent";
                }
            }
            questions.asked.clear();
        }
    }
}

TEST_F(MainDialog, SavedFileIsNamedInTheQuestionAndSavedWithoutAskingItsName) {
    Rig rig("RB16KT5_2");
    CNorveltDlg& d = *rig.dialog;
    d.show();
    const std::string path = dir.File("site7.cfg");
    int chosen = 0;
    d.SetFileChooser([&](bool, const QString&, const QString&) {
        ++chosen;
        return path;
    });
    d.OnCommand(CMD_SAVE);
    EditRow(d, "panid", "0099");
    questions.answers = {Answer::Save};
    d.OnCommand(CMD_MODEL_FIRST + 1);
    ASSERT_EQ(questions.asked.size(), 1u);
    EXPECT_EQ(questions.asked[0], Message("ask.savefile", {"site7.cfg"}));
    EXPECT_EQ(chosen, 1) << "saved to the file it came from";
    EXPECT_EQ(LoadConfiguration(path)->Find("panid").GetText(), "0099");
    EXPECT_EQ(d.Device()->TypeCode(), CDevType::Entry(1).typeCode);

    // A file that cannot be written: the error names it, and the edits stay.
    EditRow(d, "panid", "0098");
    std::filesystem::create_directory(dir.File("locked"));
    const std::string blocked = dir.File("locked") + "/sub/x.cfg";
    d.SetFileChooser([&](bool, const QString&, const QString&) { return blocked; });
    questions.answers = {Answer::Save};
    d.OnCommand(CMD_LOAD);
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_NE(messages.messages[0].text.find(blocked), std::string::npos)
        << messages.messages[0].text;
    EXPECT_TRUE(d.Modified());
    EXPECT_TRUE(d.StatusLine()->OutcomeIsError());
}

TEST_F(MainDialog, EachKeyRunsItsCommandAndTheToolTipsNameThem) {
    Rig rig("RB16KT5_2");
    CNorveltDlg& d = *rig.dialog;
    d.show();
    std::vector<bool> chooser;
    d.SetFileChooser([&](bool save, const QString&, const QString&) {
        chooser.push_back(save);
        return std::string();
    });
    int monitors = 0;
    d.SetMonitorRunner([&](CModbusInterface&) { ++monitors; });
    int menus = 0;

    struct Case {
        QKeyCombination key;
        std::function<bool()> ran;
    };
    const Case cases[] = {
        {QKeyCombination(Qt::Key_F5), [&] { return !rig.line->Requests(3).empty(); }},
        {QKeyCombination(Qt::Key_F6), [&] { return !rig.line->Requests(16).empty(); }},
        {Qt::CTRL | Qt::Key_S, [&] { return chooser == std::vector<bool>{true}; }},
        {Qt::CTRL | Qt::Key_O,
         [&] {
             return chooser == std::vector<bool>{true, false};
         }},
        {QKeyCombination(Qt::Key_F7), [&] { return monitors == 1; }},
        {Qt::CTRL | Qt::Key_M, [&] { return menus == 1; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QKeySequence(c.key).toString().toStdString());
        if (c.key == (Qt::CTRL | Qt::Key_M)) {
            // The model menu runs its own loop: close it from inside.
            QTimer::singleShot(0, [&] {
                if (QWidget* popup = QApplication::activePopupWidget()) {
                    ++menus;
                    popup->close();
                }
            });
        }
        // The window's keys need the window active; a command's own windows take that away.
        d.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
        QTest::keyClick(&d, c.key.key(), c.key.keyboardModifiers());
        EXPECT_TRUE(c.ran());
    }
    EXPECT_TRUE(messages.messages.empty()) << messages.messages[0].text;

    for (int k = 0; k < 5; ++k) {
        const QString tip = d.CommandButton(k)->toolTip();
        EXPECT_TRUE(tip.contains(CNorveltDlg::CommandKey(k).toString(QKeySequence::NativeText)));
        EXPECT_TRUE(tip.contains(ToQ(Message(("tip" + std::to_string(k)).c_str()))));
    }
    EXPECT_TRUE(d.ModelButton()->toolTip().contains("Ctrl+M"));
}

TEST_F(MainDialog, ModelMenuChecksTheCurrentModel) {
    Rig rig("RB16KT5_2");
    CNorveltDlg& d = *rig.dialog;
    d.OnCommand(CMD_MODEL_FIRST + 4);
    QMenu menu;
    d.FillModelMenu(menu);
    ASSERT_EQ(menu.actions().size(), CDevType::EntryCount());
    for (int p = 0; p < CDevType::EntryCount(); ++p)
        EXPECT_EQ(menu.actions()[p]->isChecked(), p == 4) << p;
}

TEST_F(MainDialog, LanguageMenuListsTheFilesByTheirNamesAndQtSpeaksTheChosenOne) {
    Rig rig("RB16KT5_2");
    CNorveltDlg& d = *rig.dialog;
    QMenu menu;
    d.FillLanguageMenu(menu);
    QStringList names;
    for (QAction* a : menu.actions()) names << a->text();
    EXPECT_EQ(names, (QStringList{"English", "日本語"}));
    EXPECT_TRUE(menu.actions()[0]->isChecked());
    EXPECT_FALSE(menu.actions()[1]->isChecked());
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Cancel");

    menu.actions()[1]->trigger();
    ASSERT_TRUE(QTest::qWaitFor([] { return g_resources.GetLanguageName() == "日本語"; }, 2000));
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "キャンセル")
        << "Qt's own buttons follow the language file's locale";
    EXPECT_EQ(d.CommandButton(0)->text().toStdString(), g_resources.GetMessageText("tb0"));
    QMenu again;
    d.FillLanguageMenu(again);
    EXPECT_TRUE(again.actions()[1]->isChecked());
    EXPECT_NE(d.AboutText().find("Japanese.lng"), std::string::npos) << d.AboutText();

    d.AppSettings().SetLanguageFile("English.lng");
    d.AppSettings().Save();
    d.ApplyLanguage();
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Cancel");
}

TEST_F(MainDialog, TrafficWindowOpensFromTheShortcutAndTheCommandBarMenu) {
    testing_support::LoadEnglish();
    Rig rig("RB16KT5_2");
    CNorveltDlg& d = *rig.dialog;
    d.show();
    ASSERT_EQ(d.TrafficWindow(), nullptr) << "nothing recorded before it is asked for";
    d.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
    QTest::keyClick(&d, Qt::Key_T, Qt::ControlModifier);
    CTrafficWindow* window = d.TrafficWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isModal());

    window->close();
    QWidget* bar = d.CommandButton(0)->parentWidget();
    QTimer::singleShot(0, [] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        for (QAction* action : menu->actions())
            if (action->text().toStdString() == g_resources.GetMessageText("traffic.open"))
                action->trigger();
        menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), bar->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(bar, &event);
    EXPECT_EQ(d.TrafficWindow(), window) << "one window for the master";
    EXPECT_TRUE(window->isVisible());

    // What the commands of the main window exchange shows in it.
    d.OnCommand(CMD_UPLOAD);
    ASSERT_TRUE(messages.messages.empty()) << messages.messages[0].text;
    window->Refresh();
    ASSERT_GT(window->Model()->rowCount(), 2);
    EXPECT_EQ(window->Model()->At(0).meaning, "read 3004 (1 register)");
    testing_support::LoadEnglish();
}

TEST_F(MainDialog, StatusAndLanguageMenuScreenshots) {
    for (const char* language : {"English.lng", "Japanese.lng"}) {
        const std::string tag = std::string(language).substr(0, std::string(language).find('.'));
        CAppSettings settings;
        settings.SetLanguageFile(language);
        settings.Save();
        Rig rig("RB16KT5QA");
        CNorveltDlg& d = *rig.dialog;
        d.show();
        d.OnCommand(CMD_UPLOAD);
        QTest::qWait(20);
        ui_support::SaveScreenshot(&d, "main-read-" + tag);
        EditRow(d, "netname", "Site-7");
        QTest::qWait(20);
        ui_support::SaveScreenshot(&d, "main-modified-" + tag);
        QMenu menu;
        d.FillLanguageMenu(menu);
        menu.popup(d.mapToGlobal(QPoint(20, 20)));
        QTest::qWait(20);
        ui_support::SaveScreenshot(&menu, "language-menu-" + tag);
        menu.close();
    }
    CAppSettings settings;
    settings.SetLanguageFile("English.lng");
    settings.Save();
}
