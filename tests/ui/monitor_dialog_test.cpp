// The monitor window against simulated devices: polling, status and lamp, the locked list on
// errors, a changed device type, operation writes, the password of a protected device, closing.
#include "ui/monitor_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "app/private_exception.h"
#include "modbus/framing.h"
#include "modbus/modbus_interface.h"
#include "model/dev_types.h"
#include "monitor_support.h"
#include "sim_line.h"
#include "tools/devsim/device_sim.h"
#include "ui/in_place_editors.h"
#include "ui/parameter_list.h"
#include "ui/pass_dialog.h"
#include "ui_support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kRead = 3;
constexpr uint8_t kWrite = 16;
constexpr uint8_t kAuthenticate = 68;
constexpr int kTypeRegister = 3003;

using monitor_support::Bench;
using monitor_support::Config;
using monitor_support::kFast;
using monitor_support::MonitorLine;
using monitor_support::RunMonitor;

int ParameterRows(const CDevInterface& model) {
    int rows = 0;
    for (int i = 0; i < model.Count(); ++i) rows += model.At(i).Type() == PAR_GROUP ? 0 : 1;
    return rows;
}

bool WaitFor(const std::function<bool()>& condition, int ms = 3000) {
    return QTest::qWaitFor(condition, ms);
}

QColor TextColour(const CMonitorDialog& d) {
    return d.Status()->palette().color(QPalette::WindowText);
}
std::string Text(const char* key) {
    return g_resources.GetMessageText(key);
}

class MonitorDialog : public ::testing::Test {
protected:
    void SetUp() override { testing_support::LoadEnglish(); }
    void TearDown() override { testing_support::LoadEnglish(); }

    // Opens the value editor of a parameter's row as the user does.
    static void OpenRow(CMonitorDialog& d, const char* key) {
        CParameterListCtrl* list = d.List();
        list->SelectRow(list->RowOfParameter(d.Device()->IndexOf(key)));
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Return);
    }
    // Moves the drop-down of an open list editor by one entry and commits it.
    static void Choose(CMonitorDialog& d, Qt::Key key) {
        QTest::keyClick(d.List()->comboEditor()->view(), key);
        QTest::keyClick(d.List()->comboEditor()->view(), Qt::Key_Return);
    }

    ui_support::MessageRecorder messages;
};

}  // namespace

TEST_F(MonitorDialog, FirstPollShowsTheModelAndTheLampLightsOneTick) {
    devsim::CDeviceSim sim(Config("RB16T5-PLX4M_2"));
    Bench b(sim);
    CMonitorDialog d(nullptr,
                     {60000, 1000000});  // one poll only: the blink count stays as it set it
    RunMonitor(d, *b.master, [&] {
        ASSERT_TRUE(WaitFor([&] { return d.ShownType() == sim.TypeCode(); }));
        const CDevInterface& model = *d.Device();
        EXPECT_EQ(d.List()->Model(), d.Device());
        EXPECT_EQ(d.List()->RowCount(), ParameterRows(model));
        EXPECT_EQ(model.Find("do1").Value().Word(0), *sim.Register(1002));
        EXPECT_FALSE(d.List()->Locked());
        EXPECT_FALSE(d.OperationsBox()->isChecked());
        EXPECT_FALSE(d.ActionButton()->isVisible());

        d.OnStatusTimer();
        EXPECT_EQ(FromQ(d.Status()->text()), Text("mon.ok"));
        EXPECT_EQ(TextColour(d), CMonitorDialog::kTextOk);
        EXPECT_FALSE(d.StatusInverted());
        EXPECT_EQ(d.Led()->Color(), CMonitorDialog::kLampOk);
        const QImage lamp = d.Led()->grab().toImage();
        EXPECT_EQ(lamp.pixelColor(lamp.width() / 2, lamp.height() / 2), CMonitorDialog::kLampOk);
        EXPECT_EQ(lamp.pixelColor(0, 0), QColor(Qt::white));
        for (int tick = 0; tick < 2; ++tick) {
            d.OnStatusTimer();
            EXPECT_EQ(d.Led()->Color(), QColor(Qt::white)) << "dark after one tick";
            EXPECT_EQ(FromQ(d.Status()->text()), Text("mon.ok"));
        }
        d.SetTimings(kFast);  // so that closing does not wait a minute for the poll timer
    });
    EXPECT_EQ(b.line->Polls(), 1) << "no poll starts while closing";
}

TEST_F(MonitorDialog, SilentDeviceBlinksRedAndLocksTheLastModelUntilItAnswersAgain) {
    devsim::CDeviceSim sim(Config("RB16T5-PLX4M_2"));
    Bench b(sim);
    CMonitorDialog d(nullptr, kFast);
    RunMonitor(d, *b.master, [&] {
        ASSERT_TRUE(WaitFor([&] { return d.ShownType() == sim.TypeCode(); }));
        const int rows = d.List()->RowCount();

        b.line->silent = true;
        ASSERT_TRUE(WaitFor([&] { return d.State() == MON_ERROR && d.List()->Locked(); }));
        const std::shared_ptr<CDevInterface> kept = d.Device();
        ASSERT_TRUE(kept);
        const int polls = b.line->Polls();
        ASSERT_TRUE(WaitFor([&] { return b.line->Polls() >= polls + 2; })) << "polling goes on";
        EXPECT_EQ(d.Device(), kept) << "the last good model stays";
        EXPECT_EQ(d.List()->RowCount(), rows);
        EXPECT_TRUE(d.List()->IsDim(kept->IndexOf("do1ch")));
        EXPECT_EQ(messages.messages.size(), 0u) << "poll errors are not shown as messages";

        struct Tick {
            bool lit;
        };
        for (const Tick t : {Tick{true}, Tick{false}, Tick{true}}) {
            d.OnStatusTimer();
            EXPECT_EQ(FromQ(d.Status()->text()), Text("mon.err"));
            EXPECT_EQ(d.Led()->Color(), t.lit ? CMonitorDialog::kLampError : QColor(Qt::white));
            EXPECT_EQ(d.StatusInverted(), t.lit) << "white on red while lit";
            EXPECT_EQ(TextColour(d), t.lit ? QColor(Qt::white) : CMonitorDialog::kTextError);
        }

        b.line->silent = false;
        ASSERT_TRUE(WaitFor([&] { return d.State() == MON_OK && !d.List()->Locked(); }));
        EXPECT_NE(d.Device(), kept);
        d.OnStatusTimer();
        EXPECT_EQ(FromQ(d.Status()->text()), Text("mon.ok"));
        EXPECT_EQ(TextColour(d), CMonitorDialog::kTextOk);
        EXPECT_FALSE(d.StatusInverted());
        EXPECT_EQ(d.Led()->Color(), CMonitorDialog::kLampOk);
    });
}

TEST_F(MonitorDialog, AnotherDeviceTypeRebuildsTheRows) {
    devsim::CDeviceSim digital(Config("RB16T5-PLX4M_2"));
    devsim::CDeviceSim analogue(Config("RB16T5-SQ7_2"));
    ASSERT_NE(digital.TypeCode(), analogue.TypeCode());
    Bench b(digital);
    CMonitorDialog d(nullptr, kFast);
    RunMonitor(d, *b.master, [&] {
        ASSERT_TRUE(WaitFor([&] { return d.ShownType() == digital.TypeCode(); }));
        b.line->SetSim(analogue);
        ASSERT_TRUE(WaitFor([&] { return d.ShownType() == analogue.TypeCode(); }));
        const CDevInterface& model = *d.Device();
        ASSERT_EQ(d.List()->RowCount(), ParameterRows(model));
        for (int row = 0; row < d.List()->RowCount(); ++row) {
            const int i = d.List()->ParameterOfRow(row);
            EXPECT_EQ(d.List()->RowItem(row)->text(0), ToQ(model.At(i).GetLabel()));
        }
        EXPECT_FALSE(d.List()->Locked());
    });
}

TEST_F(MonitorDialog, OperationsNeedTheBoxAndEachChoiceIsWrittenAtOnce) {
    devsim::CDeviceSim sim(Config("RB16T5-PLX4M_2"));
    Bench b(sim);
    CMonitorDialog d(nullptr, kFast);
    RunMonitor(d, *b.master, [&] {
        ASSERT_TRUE(WaitFor([&] { return d.ShownType() == sim.TypeCode(); }));
        ASSERT_EQ(*b.line->Register(1002), 0);

        OpenRow(d, "do1ch");
        EXPECT_FALSE(d.List()->IsEditing()) << "operations are refused with the box off";
        EXPECT_TRUE(d.List()->IsDim(d.Device()->IndexOf("do1ch")));

        d.OperationsBox()->click();
        EXPECT_TRUE(d.List()->OperationsEnabled());
        OpenRow(d, "do1ch");
        ASSERT_TRUE(d.List()->comboEditor()->isVisible());
        Choose(d, Qt::Key_Down);  // Off -> On
        ASSERT_TRUE(WaitFor([&] { return b.line->Register(1002) == 1; }));
        EXPECT_EQ(b.line->Requests(kWrite), (std::vector<std::pair<int, int>>{{1002, 1}}));
        ASSERT_TRUE(WaitFor([&] { return d.Device()->Find("do1").Value().Word(0) == 1; }))
            << "the next poll shows the output switched";

        // Two choices in quick succession: both written, in order.
        OpenRow(d, "do2ch");
        Choose(d, Qt::Key_Down);  // Off -> On
        OpenRow(d, "do1ch");
        Choose(d, Qt::Key_Up);  // On -> Off
        ASSERT_TRUE(WaitFor([&] { return b.line->writesAnswered == 3; }));
        EXPECT_EQ(b.line->Requests(kWrite),
                  (std::vector<std::pair<int, int>>{{1002, 1}, {1003, 1}, {1002, 1}}));
        EXPECT_EQ(*b.line->Register(1002), 0);
        EXPECT_EQ(*b.line->Register(1003), 1);
        EXPECT_TRUE(messages.messages.empty());
    });
}

TEST_F(MonitorDialog, ProtectedDeviceAsksForThePasswordAfterEveryRefusedPoll) {
    devsim::SimConfig config = Config("RB16T5-PLX4M_2");
    config.password = devsim::PackPassword("s3cret");
    devsim::CDeviceSim sim(config);
    Bench b(sim);
    CMonitorDialog d(nullptr, kFast);
    // The password window runs in its own modal loop, so a timer answers it from inside.
    std::vector<QString> typed = {"wrong", "s3cret"};
    int asked = 0;
    QTimer typer;
    QObject::connect(&typer, &QTimer::timeout, [&] {
        auto* pass = d.findChild<CPassDialog*>();
        if (!pass || !pass->isVisible()) return;
        pass->Field()->setText(asked < static_cast<int>(typed.size()) ? typed[asked]
                                                                      : QString("x"));
        ++asked;
        pass->accept();
    });
    typer.start(5);
    RunMonitor(d, *b.master, [&] {
        ASSERT_TRUE(WaitFor([&] { return d.ShownType() == sim.TypeCode(); }));
        EXPECT_EQ(asked, 2) << "asked again after the wrong password";
        EXPECT_EQ(b.line->Requests(kAuthenticate).size(), 2u);
        ASSERT_EQ(messages.messages.size(), 1u);
        EXPECT_EQ(messages.messages[0].text, Text("autherr"));
        EXPECT_FALSE(sim.Locked());
        EXPECT_EQ(d.State(), MON_OK);
    });
}

TEST_F(MonitorDialog, ClosingDuringAPollCancelsItAndEnds) {
    devsim::CDeviceSim sim(Config("RB16T5-PLX4M_2"));
    Bench b(sim);
    b.line->silent = true;
    b.line->stallMs = 500;  // a poll without cancelling would last three waits
    CMonitorDialog d(nullptr, kFast);
    Clock::time_point closed;
    RunMonitor(d, *b.master, [&] {
        ASSERT_TRUE(WaitFor([&] { return b.line->Polls() == 1; }));
        closed = Clock::now();
        QTest::keyClick(&d, Qt::Key_Escape);
        EXPECT_TRUE(d.Closing());
        EXPECT_EQ(d.cursor().shape(), Qt::WaitCursor);
        EXPECT_TRUE(d.isVisible()) << "the window waits for the poll";
    });
    EXPECT_LT(Clock::now() - closed, std::chrono::milliseconds(1000));
    EXPECT_EQ(b.line->Requests(kRead).size(), 1u) << "no retry after the cancel";
    EXPECT_EQ(d.State(), MON_NONE) << "a cancelled poll is no communication error";
    EXPECT_FALSE(d.isVisible());
}

TEST_F(MonitorDialog, ClosingWaitsForAnOperationWriteStillRunning) {
    devsim::CDeviceSim sim(Config("RB16T5-PLX4M_2"));
    Bench b(sim);
    CMonitorDialog d(nullptr, kFast);
    RunMonitor(d, *b.master, [&] {
        ASSERT_TRUE(WaitFor([&] { return d.ShownType() == sim.TypeCode(); }));
        d.OperationsBox()->click();
        b.line->writeStallMs = 300;
        OpenRow(d, "do1ch");
        Choose(d, Qt::Key_Down);
        d.close();  // the close box, right after the edit
    });
    EXPECT_EQ(b.line->writesAnswered, 1) << "the window ended before its write had run";
    EXPECT_EQ(*b.line->Register(1002), 1);
}

TEST_F(MonitorDialog, DestroyedWhileAPollRunsWaitsForIt) {
    devsim::CDeviceSim sim(Config("RB16T5-PLX4M_2"));
    Bench b(sim);
    b.line->silent = true;
    b.line->stallMs = 200;
    auto d = std::make_unique<CMonitorDialog>(nullptr, kFast);
    CMonitorDialog* raw = d.get();
    RunMonitor(*raw, *b.master, [&] {
        ASSERT_TRUE(WaitFor([&] { return b.line->Polls() == 1; }));
        raw->done(QDialog::Rejected);  // ended from outside, the poll still on the worker
    });
    d.reset();  // must wait: the poll and its completion still point at the window
    QTest::qWait(50);
    EXPECT_EQ(b.line->Polls(), 1);
}

TEST_F(MonitorDialog, Screenshots) {
    for (const char* language : {"English.lng", "Japanese.lng"}) {
        g_resources.LoadLanguage(language);
        const std::string tag = std::string(language).substr(0, std::string(language).find('.'));
        devsim::CDeviceSim sim(Config("RB16T5-PLX4M_2"));
        Bench b(sim);
        CMonitorDialog d(nullptr, {60000, 1000000});
        RunMonitor(d, *b.master, [&] {
            ASSERT_TRUE(WaitFor([&] { return d.ShownType() == sim.TypeCode(); }));
            d.OnStatusTimer();
            for (QWidget* w : std::initializer_list<QWidget*>{d.Status(), d.OperationsBox()})
                EXPECT_LE(w->sizeHint().width(), w->width()) << tag << ": text cut off";
            EXPECT_EQ(d.windowTitle(), ToQ(g_resources.GetGuiText(134, 0)));
            ui_support::SaveScreenshot(&d, "monitor-" + tag, ui_support::DialogSize(&d, 366, 437));
            d.SetTimings(kFast);
        });
    }
}

TEST_F(MonitorDialog, ReasonLineSaysWhyThePollFails) {
    // A device of a type the catalogue does not know, put on the line in place of the first.
    devsim::CDeviceSim unknown(Config("RB16T5-PLX4M_2"));
    ASSERT_TRUE(unknown.SetRegister(kTypeRegister, 12345));
    struct Case {
        const char* name;
        std::function<void(MonitorLine&)> fail;
        std::string reason;
    };
    const Case cases[] = {
        {"silent", [](MonitorLine& line) { line.silent = true; }, Text("mon.why.silent")},
        {"unknown type", [&](MonitorLine& line) { line.SetSim(unknown); },
         CPrivateException(CPrivateException::Key{"unknowndev"}, {int32_t{12345}}).Message()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        devsim::CDeviceSim sim(Config("RB16T5-PLX4M_2"));
        Bench b(sim);
        CMonitorDialog d(nullptr, kFast);
        RunMonitor(d, *b.master, [&] {
            ASSERT_TRUE(WaitFor([&] { return d.ShownType() == sim.TypeCode(); }));
            EXPECT_TRUE(d.Reason()->text().isEmpty());
            c.fail(*b.line);
            ASSERT_TRUE(WaitFor([&] { return d.State() == MON_ERROR && d.List()->Locked(); }));
            std::string shown =
                FromQ(d.Reason()->toolTip().isEmpty() ? d.Reason()->text() : d.Reason()->toolTip());
            EXPECT_EQ(shown, c.reason);
            d.OnStatusTimer();
            EXPECT_EQ(FromQ(d.Status()->text()), Text("mon.err")) << "the status text stays";
        });
    }
}

TEST_F(MonitorDialog, DeclinedPasswordStopsTheQuestionsUntilUnlockIsClicked) {
    devsim::SimConfig config = Config("RB16T5-PLX4M_2");
    config.password = devsim::PackPassword("s3cret");
    devsim::CDeviceSim sim(config);
    Bench b(sim);
    CMonitorDialog d(nullptr, kFast);
    int asked = 0;
    QString answer;  // empty: cancel
    QTimer typer;
    QObject::connect(&typer, &QTimer::timeout, [&] {
        auto* pass = d.findChild<CPassDialog*>();
        if (!pass || !pass->isVisible()) return;
        ++asked;
        EXPECT_EQ(pass->Field()->echoMode(), QLineEdit::Password);
        if (answer.isEmpty()) {
            pass->reject();
        } else {
            pass->Field()->setText(answer);
            pass->accept();
        }
    });
    typer.start(5);
    RunMonitor(d, *b.master, [&] {
        ASSERT_TRUE(WaitFor([&] { return asked == 1; }));
        const int polls = b.line->Polls();
        ASSERT_TRUE(WaitFor([&] { return b.line->Polls() >= polls + 3; }));
        EXPECT_EQ(asked, 1) << "no question at every poll";
        EXPECT_EQ(messages.messages.size(), 1u) << "one cancellation notice, not one a second";
        EXPECT_EQ(FromQ(d.Reason()->text()), Text("mon.why.protect"));
        EXPECT_TRUE(d.UnlockButton()->isVisible());
        EXPECT_EQ(FromQ(d.UnlockButton()->text()), Text("mon.unlock"));

        answer = "s3cret";
        d.UnlockButton()->click();
        EXPECT_EQ(asked, 2);
        ASSERT_TRUE(
            WaitFor([&] { return d.ShownType() == sim.TypeCode() && !d.List()->Locked(); }));
        EXPECT_FALSE(d.UnlockButton()->isVisible());
        EXPECT_TRUE(d.Reason()->text().isEmpty());
        EXPECT_FALSE(sim.Locked());
    });
}

TEST_F(MonitorDialog, RestartIsSentOnlyAfterTheUserConfirmsIt) {
    devsim::CDeviceSim sim(Config("RB16T5-PLX4M_2"));
    Bench b(sim);
    CMonitorDialog d(nullptr, kFast);
    ui_support::QuestionScript questions;
    RunMonitor(d, *b.master, [&] {
        ASSERT_TRUE(WaitFor([&] { return d.ShownType() == sim.TypeCode(); }));
        d.OperationsBox()->click();
        const std::string restart =
            g_resources.GetListItemText(d.Device()->ModelCode(), "resetcmd", 42405);
        for (Answer answer : {Answer::No, Answer::Yes}) {
            questions.answers = {answer};
            questions.asked.clear();
            // The list shows the device's value again before the next choice.
            const int polls = b.line->Polls();
            ASSERT_TRUE(WaitFor([&] { return b.line->Polls() >= polls + 2; }));
            ASSERT_EQ(d.Device()->Find("resetcmd").GetText(),
                      g_resources.GetListItemText(d.Device()->ModelCode(), "resetcmd", 0));
            OpenRow(d, "resetcmd");
            ASSERT_TRUE(d.List()->comboEditor()->isVisible());
            Choose(d, Qt::Key_Down);  // No command -> Restart
            ASSERT_EQ(questions.asked.size(), 1u);
            EXPECT_NE(questions.asked[0].find(restart), std::string::npos) << questions.asked[0];
            if (answer == Answer::No) {
                QTest::qWait(50);
                EXPECT_TRUE(b.line->Requests(kWrite).empty()) << "refused: nothing sent";
            } else {
                ASSERT_TRUE(WaitFor([&] { return b.line->Requests(kWrite).size() == 1u; }));
                EXPECT_EQ(b.line->Requests(kWrite)[0].first, 9000);
            }
        }
        // Output switching stays immediate.
        questions.asked.clear();
        OpenRow(d, "do1ch");
        Choose(d, Qt::Key_Down);
        ASSERT_TRUE(WaitFor([&] { return b.line->Register(1002) == 1; }));
        EXPECT_TRUE(questions.asked.empty());
        EXPECT_FALSE(questions.unexpected);
    });
}

TEST_F(MonitorDialog, ErrorReasonScreenshots) {
    for (const char* language : {"English.lng", "Japanese.lng"}) {
        g_resources.LoadLanguage(language);
        const std::string tag = std::string(language).substr(0, std::string(language).find('.'));
        devsim::CDeviceSim sim(Config("RB16T5-PLX4M_2"));
        Bench b(sim);
        CMonitorDialog d(nullptr, kFast);
        RunMonitor(d, *b.master, [&] {
            ASSERT_TRUE(WaitFor([&] { return d.ShownType() == sim.TypeCode(); }));
            b.line->silent = true;
            ASSERT_TRUE(WaitFor([&] { return d.State() == MON_ERROR && d.List()->Locked(); }));
            ASSERT_TRUE(WaitFor([&] { return !d.Reason()->text().isEmpty(); }));
            d.OnStatusTimer();
            ui_support::SaveScreenshot(&d, "monitor-error-" + tag);
        });
    }
}
