#include "ui/window_utils.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <thread>

#include "app/settings.h"
#include "model/dev_interface.h"
#include "test_support.h"
#include "ui_support.h"

TEST(WindowUtils, DialogTextsReplaceOnlyWhatTheFileHas) {
    testing_support::TempDir dir;
    g_resources.Init();
    g_resources.LoadLanguage(
        dir.Write("t.lng", R"(<root><application>NORVELT</application><filetype>language</filetype>
<language>T</language><gui name="129"><text name="0">Title</text><text name="1">Go</text><text name="1004"></text></gui></root>)"));
    QDialog dialog;
    auto* ok = new QPushButton("template OK", &dialog);
    auto* label = new QLabel("template label", &dialog);
    auto* plain = new QPushButton("no id", &dialog);
    SetControlId(ok, 1);
    SetControlId(label, 1004);
    ApplyDialogTexts(129, &dialog);
    EXPECT_EQ(dialog.windowTitle(), "Title");
    EXPECT_EQ(ok->text(), "Go");
    EXPECT_EQ(label->text(), "template label") << "an empty text keeps the template's";
    EXPECT_EQ(plain->text(), "no id");
}

TEST(WindowUtils, CaptionFontAndDialogUnits) {
    EXPECT_EQ(GetProductCaption(), std::string("NORVELCO Version ") + NORVELCO_VERSION);
    QFont font = GetUIFont();
    EXPECT_EQ(font.pointSize(), 9);
    EXPECT_GT(DluX(font, 100), 100);  // dialog units are finer than pixels... times four
    EXPECT_EQ(DluY(font, 8), QFontMetrics(font).height());
}

TEST(WindowUtils, MessagesGoThroughTheHookCut) {
    ui_support::MessageRecorder recorder;
    ShowError(nullptr, std::string(2000, 'x'));
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text.size(), 511u);
    EXPECT_EQ(recorder.messages[0].icon, MessageIcon::Error);
}

TEST(WindowUtils, NoticesFromTheWorkerAreShownOnTheUiThread) {
    std::vector<QThread*> shownOn;
    SetMessageBoxHook([&](const std::string& text, MessageIcon icon) {
        EXPECT_EQ(text, "limit");
        EXPECT_EQ(icon, MessageIcon::Warning);
        shownOn.push_back(QThread::currentThread());
    });
    InstallUserNoticeOnUiThread();
    std::thread worker([] { ShowUserNotice("limit"); });
    worker.join();
    EXPECT_TRUE(shownOn.empty()) << "nothing is shown on the worker";
    for (int i = 0; i < 100 && shownOn.empty(); ++i) QCoreApplication::processEvents();
    ASSERT_EQ(shownOn.size(), 1u);
    EXPECT_EQ(shownOn[0], QCoreApplication::instance()->thread());
    SetUserNoticeHook({});
    SetMessageBoxHook({});
}

TEST(WindowUtils, SuggestedFileNamesAreSafeFileNames) {
    struct Case {
        std::initializer_list<std::string> parts;
        const char* suffix;
        const char* name;
    };
    for (const Case& c : {
             Case{{"RB16KT5QA", "SN0001"}, "cfg", "RB16KT5QA_SN0001.cfg"},
             Case{{"RB16KT5QA", ""}, "cfg", "RB16KT5QA.cfg"},  // no serial: the model alone
             Case{{"site7"}, "html", "site7.html"},
             Case{{"A/B", " 12 34 "}, "cfg", "A_B_12_34.cfg"},  // a serial with a slash
             Case{{"..\\x:y*\x01"}, "csv", "_x_y__.csv"},        // no hidden file, no control
             Case{{"", " "}, "cfg", ""},                        // nothing to suggest
             Case{{"\u65e5\u672c"}, "", "\u65e5\u672c"},
         })
        EXPECT_EQ(SuggestedFileName(c.parts, c.suffix).toStdString(), c.name) << c.name;
}

TEST(WindowUtils, FileDialogsStartInTheFolderLastUsedWhileItExists) {
    testing_support::TempDir dir;
    SavePreferenceText("LastFolder", "");
    EXPECT_EQ(FileDialogFolder(), QDir::homePath());
    const std::string folder = dir.File("site");
    QDir().mkpath(QString::fromStdString(folder));
    RememberFileDialogFolder(folder + "/unit.cfg");
    EXPECT_EQ(FileDialogFolder().toStdString(), folder);
    RememberFileDialogFolder(dir.File("gone/unit.cfg"));  // a failed choice keeps the last one
    RememberFileDialogFolder("");
    EXPECT_EQ(FileDialogFolder().toStdString(), folder);
    QDir(QString::fromStdString(folder)).removeRecursively();  // the stick was pulled
    EXPECT_EQ(FileDialogFolder(), QDir::homePath());
    SavePreferenceText("LastFolder", "");
}
