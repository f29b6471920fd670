// The password and progress windows.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <thread>
#include <vector>

#include "sim_line.h"
#include "ui/pass_dialog.h"
#include "ui/progress_dialog.h"
#include "ui_support.h"

namespace {

class SmallWindows : public ::testing::Test {
protected:
    void SetUp() override { testing_support::LoadEnglish(); }
    ui_support::MessageRecorder messages;
};

// Types the password and presses OK once the dialog runs; stops when the dialog has closed or
// after the given number of tries.
void TypeThenOk(CPassDialog& d, const QString& text, std::function<void()> afterOk = {}) {
    QTimer::singleShot(0, &d, [&d, text, afterOk] {
        d.Field()->setText(text);
        d.accept();
        if (afterOk) afterOk();
    });
}

}  // namespace

TEST_F(SmallWindows, PasswordPackingAndRefusals) {
    struct Case {
        const char* text;
        bool closes;
        const char* message;  // key of the message shown, or ""
        PasswordWords words;
    } cases[] = {
        {"abc", true, "", {0x6162, 0x6300, 0, 0, 0, 0, 0, 0}},
        {"0123456789ABCDEF",
         true,
         "",
         {0x3031, 0x3233, 0x3435, 0x3637, 0x3839, 0x4142, 0x4344, 0x4546}},
        // The field takes no 17th character.
        {"0123456789ABCDEFG",
         true,
         "",
         {0x3031, 0x3233, 0x3435, 0x3637, 0x3839, 0x4142, 0x4344, 0x4546}},
        {"", false, "", {}},
        {"pass\xE3\x83\x91", false, "passchars", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        messages.messages.clear();
        CPassDialog d;
        d.Field()->setText(QString::fromUtf8(c.text));
        d.accept();
        EXPECT_EQ(d.result() == QDialog::Accepted, c.closes);
        if (*c.message) {
            ASSERT_EQ(messages.messages.size(), 1u);
            EXPECT_EQ(messages.messages[0].text, g_resources.GetMessageText(c.message));
            EXPECT_EQ(messages.messages[0].icon, MessageIcon::Error);
        } else {
            EXPECT_TRUE(messages.messages.empty());
        }
        if (c.closes) {
            EXPECT_EQ(d.Words(), c.words);
        }
    }
}

TEST_F(SmallWindows, PasswordIsHiddenUnlessShown) {
    CPassDialog d;
    EXPECT_EQ(d.Field()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(d.Field()->maxLength(), 16);
    d.ShowBox()->click();
    EXPECT_EQ(d.Field()->echoMode(), QLineEdit::Normal);
    d.ShowBox()->click();
    EXPECT_EQ(d.Field()->echoMode(), QLineEdit::Password);
}

TEST_F(SmallWindows, PasswordIsSentAndItsOutcomeShown) {
    devsim::SimConfig config;
    config.password = devsim::PackPassword("s3cret");
    devsim::CDeviceSim sim(config);
    testing_support::SimMaster m(sim);
    m.master().Open();
    {
        CPassDialog d;
        TypeThenOk(d, "wrong");
        EXPECT_FALSE(d.Run(m.master()));
        ASSERT_EQ(messages.messages.size(), 1u);
        EXPECT_EQ(messages.messages[0].text, g_resources.GetMessageText("autherr"));
        EXPECT_TRUE(sim.Locked());
    }
    messages.messages.clear();
    {
        CPassDialog d;
        TypeThenOk(d, "s3cret");
        EXPECT_TRUE(d.Run(m.master()));
        EXPECT_TRUE(messages.messages.empty());
        EXPECT_FALSE(sim.Locked());
    }
    {
        CPassDialog d;
        QTimer::singleShot(0, &d, [&d] { d.reject(); });
        EXPECT_FALSE(d.Run(m.master()));
        ASSERT_EQ(messages.messages.size(), 1u);
        EXPECT_EQ(messages.messages[0].text, g_resources.GetMessageText("stopcom"));
        EXPECT_EQ(messages.messages[0].icon, MessageIcon::Warning);
    }
    EXPECT_EQ(m.line().Requests(68).size(), 2u);
    m.master().Close();
}

namespace {

class CancelWatcher : public CObserver {
public:
    void Update(CObservable*) override { ++notifications; }
    int notifications = 0;
};

}  // namespace

TEST_F(SmallWindows, ProgressMovesFromTheWorkerAndCancelDoesNotClose) {
    CProgressDialog d;
    CancelWatcher watcher;
    d.AddObserver(&watcher);
    std::vector<int> shown;  // every position the bar took, in order
    QObject::connect(d.Bar(), &QProgressBar::valueChanged, [&](int v) { shown.push_back(v); });
    bool visibleAfterCancel = false;
    QTimer::singleShot(0, &d, [&] {
        EXPECT_EQ(d.Status()->text().toStdString(), g_resources.GetMessageText("uploading"));
        // A worker reports progress while the window runs modally; each call returns only once
        // the bar has moved.
        std::atomic<bool> reported{false};
        std::thread worker([&] {
            d.SetProgress(0.0);
            d.SetProgress(1.0 / 3);
            d.SetProgress(1.0);
            reported = true;
        });
        while (!reported) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        worker.join();
        d.reject();  // Cancel
        QCoreApplication::processEvents();
        visibleAfterCancel = d.isVisible();
        d.End();
    });
    d.Run(0);
    // The bar never goes below its range, so the first step back does not show.
    EXPECT_EQ(shown, (std::vector<int>{0, 333333333, 333333332, 333333333, CProgressDialog::kRange,
                                       CProgressDialog::kRange - 1, CProgressDialog::kRange}));
    EXPECT_EQ(d.Bar()->value(), CProgressDialog::kRange);
    EXPECT_TRUE(d.Cancelled());
    EXPECT_EQ(watcher.notifications, 1);
    EXPECT_TRUE(visibleAfterCancel);
}

TEST_F(SmallWindows, Screenshots) {
    for (const char* language : {"English.lng", "Japanese.lng"}) {
        g_resources.LoadLanguage(language);
        const std::string tag = std::string(language).substr(0, std::string(language).find('.'));
        CPassDialog pass;
        QTimer::singleShot(0, &pass, [&] {
            pass.Field()->setText("abc");
            ui_support::SaveScreenshot(&pass, "password-" + tag,
                                       ui_support::DialogSize(&pass, 355, 46));
            pass.done(QDialog::Rejected);
        });
        pass.exec();
        CProgressDialog progress;
        QTimer::singleShot(0, &progress, [&] {
            progress.SetProgress(0.4);
            ui_support::SaveScreenshot(&progress, "progress-" + tag,
                                       ui_support::DialogSize(&progress, 216, 66));
            progress.End();
        });
        progress.Run(1);
    }
}
