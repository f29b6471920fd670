// The monitor's trend chart and recording: a point per poll, gaps after failed polls, the
// readout, the time window, the default traces per model, and the monitor window around them.
#include "ui/trend_chart.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QChart>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <functional>

#include "modbus/modbus_interface.h"
#include "model/dev_types.h"
#include "monitor_support.h"
#include "sim_line.h"
#include "tools/devsim/device_sim.h"
#include "ui/monitor_dialog.h"
#include "ui/parameter_list.h"
#include "ui_support.h"

namespace {

using std::chrono::minutes;
using std::chrono::seconds;

const MonitorClock::time_point kStart = MonitorClock::time_point(std::chrono::hours(500000));

std::unique_ptr<CDevInterface> Monitor(const char* modelCode) {
    auto model = CDevType().Create(CDevType::FindModel(modelCode), 0, DEV_MONITOR);
    return model;
}

void SetRssi(CDevInterface& model, int dbm) {
    model.Find("rssi").Value().SetWord(0, static_cast<uint16_t>(static_cast<int16_t>(dbm)));
}

class TrendChart : public ::testing::Test {
protected:
    void SetUp() override { testing_support::LoadEnglish(); }
    void TearDown() override { testing_support::LoadEnglish(); }
};

}  // namespace

TEST_F(TrendChart, DefaultTracesAreTheReceptionLevelAndTheAnalogueInputs) {
    CTrendChart chart;
    auto modem = Monitor("RB16KT5QA");
    chart.AddPoll(*modem, kStart);
    EXPECT_EQ(chart.ShownKeys(), std::vector<std::string>{"rssi"});

    CTrendChart analogueChart;
    auto analogue = Monitor("RB16T5-SQ7_2");
    analogueChart.AddPoll(*analogue, kStart);
    EXPECT_EQ(analogueChart.ShownKeys(), (std::vector<std::string>{"rssi", "ai1val", "ai2val"}));

    // Only number values can be drawn: a list, a text, an operation cannot.
    EXPECT_TRUE(CTrendChart::CanShow(*modem, modem->IndexOf("tx485ok")));
    EXPECT_FALSE(CTrendChart::CanShow(*modem, modem->IndexOf("actled")));
    EXPECT_FALSE(CTrendChart::CanShow(*modem, modem->IndexOf("serial")));
    EXPECT_FALSE(CTrendChart::CanShow(*modem, modem->IndexOf("resetcmd")));
}

TEST_F(TrendChart, PointsPerPollGapsAfterFailuresAndTheReadout) {
    CTrendChart chart;
    auto modem = Monitor("RB16KT5QA");
    const int levels[] = {-70, -60, -80};
    for (int i = 0; i < 3; ++i) {
        SetRssi(*modem, levels[i]);
        chart.AddPoll(*modem, kStart + seconds(i));
    }
    ASSERT_NE(chart.Trace("rssi"), nullptr);
    EXPECT_EQ(chart.Trace("rssi")->PointCount(), 3u);
    EXPECT_EQ(chart.LineCount("rssi"), 1);

    chart.AddFailedPoll(kStart + seconds(3));
    EXPECT_EQ(chart.LineCount("rssi"), 1) << "a gap, not a line to zero";
    EXPECT_EQ(FromQ(chart.Readout("rssi")), "Reception level: – (lowest -80 dBm, highest -60 dBm)");

    SetRssi(*modem, -65);
    chart.AddPoll(*modem, kStart + seconds(4));
    EXPECT_EQ(chart.LineCount("rssi"), 2) << "the line starts again after the gap";
    EXPECT_EQ(FromQ(chart.Readout("rssi")),
              "Reception level: -65 dBm (lowest -80 dBm, highest -60 dBm)");
    const auto segments = chart.Trace("rssi")->Segments(0);
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_EQ(segments[0].size(), 3u);
    EXPECT_EQ(segments[1].front().second, -65.0);
}

TEST_F(TrendChart, TheWindowShowsItsMinutesAndNothingOlderThanAnHourIsKept) {
    CTrendChart chart;
    auto modem = Monitor("RB16KT5QA");
    chart.SetWindowMinutes(1);
    // Two hours at one poll a second: memory holds at most the longest window.
    for (int s = 0; s < 2 * 3600; ++s) {
        SetRssi(*modem, -60 - s % 20);
        chart.AddPoll(*modem, kStart + seconds(s));
    }
    const CTrendTrace* trace = chart.Trace("rssi");
    ASSERT_NE(trace, nullptr);
    EXPECT_LE(trace->PointCount(), 3601u);
    EXPECT_GE(trace->PointCount(), 3600u);
    const int64_t last = std::chrono::duration_cast<std::chrono::milliseconds>(
                             (kStart + seconds(7199)).time_since_epoch())
                             .count();
    EXPECT_EQ(trace->Segments(last - 60 * 1000).front().size(), 61u) << "the last minute drawn";
    chart.SetWindowMinutes(60);
    EXPECT_EQ(chart.WindowMinutes(), 60);
    chart.SetWindowMinutes(7);  // not one of the choices
    EXPECT_EQ(chart.WindowMinutes(), 60);
}

TEST_F(TrendChart, UserAddsAndRemovesTracesAndAnotherTypeKeepsOnlyWhatItHas) {
    CTrendChart chart;
    auto modem = Monitor("RB16KT5QA");
    chart.AddPoll(*modem, kStart);
    chart.SetShown(*modem, modem->IndexOf("rx485err"), true);
    chart.SetShown(*modem, modem->IndexOf("actled"), true);  // a list: refused
    EXPECT_EQ(chart.ShownKeys(), (std::vector<std::string>{"rssi", "rx485err"}));
    chart.SetShown(*modem, modem->IndexOf("rssi"), false);
    EXPECT_EQ(chart.ShownKeys(), std::vector<std::string>{"rx485err"});

    // The analogue unit has no RS-485 counters: its defaults take over.
    auto analogue = Monitor("RB16T5-SQ7_2");
    chart.AddPoll(*analogue, kStart + seconds(1));
    EXPECT_EQ(chart.ShownKeys(), (std::vector<std::string>{"rssi", "ai1val", "ai2val"}));
}

// ---- in the monitor window ----

namespace {

using monitor_support::Bench;
using monitor_support::Config;
using monitor_support::kFast;

void RunMonitor(CMonitorDialog& d, CModbusInterface& master, const std::function<void()>& script) {
    monitor_support::RunMonitor(d, master, script, 15000);
}

bool WaitFor(const std::function<bool()>& condition, int ms = 5000) {
    return QTest::qWaitFor(condition, ms);
}

QAction* ActionOf(QMenu& menu, const char* key) {
    for (QAction* a : menu.actions())
        if (FromQ(a->text()) == g_resources.GetMessageText(key)) return a;
    return nullptr;
}

}  // namespace

TEST_F(TrendChart, MonitorDrawsAndRecordsEveryPollAndGrowsToTheSide) {
    devsim::CDeviceSim sim(Config("RB16T5-SQ7_2"));
    Bench b(sim);
    testing_support::TempDir dir;
    const std::string path = dir.File("ai.csv");
    CMonitorDialog d(nullptr, kFast);
    d.SetChartShown(false);
    const int narrow = d.width();
    RunMonitor(d, *b.master, [&] {
        ASSERT_TRUE(WaitFor([&] { return d.ShownType() == sim.TypeCode(); }));
        EXPECT_EQ(d.TrendChart()->ShownKeys(),
                  (std::vector<std::string>{"rssi", "ai1val", "ai2val"}));

        // "Show in chart" from the list's menu, on a number row; none on a list row.
        const int rch = d.Device()->IndexOf("rch");
        std::unique_ptr<QMenu> menu(d.ListMenu(rch));
        ASSERT_NE(ActionOf(*menu, "mon.showinchart"), nullptr);
        ActionOf(*menu, "mon.showinchart")->trigger();
        EXPECT_TRUE(d.TrendChart()->IsShown("rch"));
        EXPECT_TRUE(d.ChartShown());
        EXPECT_GT(d.width(), narrow);
        std::unique_ptr<QMenu> listRow(d.ListMenu(d.Device()->IndexOf("ai1inv")));
        EXPECT_EQ(ActionOf(*listRow, "mon.showinchart"), nullptr);

        d.SetFileChooser([&](const QString&, const QString&) { return path; });
        std::unique_ptr<QMenu> again(d.ListMenu(-1));
        ActionOf(*again, "mon.record")->trigger();
        ASSERT_TRUE(d.Recording());
        const size_t before = d.TrendChart()->Trace("rssi")->PointCount();
        ASSERT_TRUE(WaitFor([&] { return d.RecordLabel()->text().contains("3 lines"); }))
            << FromQ(d.RecordLabel()->text());
        EXPECT_GE(d.TrendChart()->Trace("rssi")->PointCount(), before + 3);
        // On disk while the monitor still runs.
        const std::string text = testing_support::ReadFile(path);
        EXPECT_EQ(text.rfind("time,firmver,", 0), 0u) << text;
        EXPECT_GE(std::count(text.begin(), text.end(), '\n'), 4);

        b.line->silent = true;
        ASSERT_TRUE(WaitFor([&] { return d.State() == MON_ERROR; }));
        b.line->silent = false;
        ASSERT_TRUE(WaitFor([&] { return d.TrendChart()->LineCount("rssi") == 2; }))
            << "a gap where the polls failed";
        d.StopRecording();
        EXPECT_FALSE(d.Recording());
    });
    const std::string text = testing_support::ReadFile(path);
    EXPECT_NE(text.find(std::string(8, ',') + "\n"), std::string::npos) << "a failed poll's line";
}

TEST_F(TrendChart, Screenshots) {
    struct Shot {
        const char* model;
        const char* language;
        int entry() const { return CDevType::FindModel(model); }
    };
    const Shot shots[] = {{"RB16KT5QA", "English.lng"},
                          {"RB16KT5QA", "Japanese.lng"},
                          {"RB16T5-SQ7_2", "English.lng"},
                          {"RB16T5-SQ7_2", "Japanese.lng"}};
    for (const Shot& s : shots) {
        SCOPED_TRACE(std::string(s.model) + " " + s.language);
        g_resources.LoadLanguage(s.language);
        devsim::CDeviceSim sim(Config(s.model));
        Bench b(sim);
        CMonitorDialog d(nullptr, kFast);
        d.SetChartShown(true);
        // Five minutes of history, with a dropout, so that the picture shows a real trace.
        auto history = CDevType().Create(s.entry(), 0, DEV_MONITOR);
        history->SetIdentity(sim.TypeCode(), 0x20005, 0, 0xFFFFFFFF);
        const MonitorClock::time_point now = MonitorClock::now();
        for (int i = 0; i < 300; ++i) {
            const MonitorClock::time_point at = now - seconds(300 - i);
            if (i >= 170 && i < 185) {
                d.TrendChart()->AddFailedPoll(at);
                continue;
            }
            SetRssi(*history, -75 + static_cast<int>(8 * std::sin(i / 25.0)) - (i % 7) / 3);
            history->Find("ai1val").Value().SetWord(0, static_cast<uint16_t>(400 + i));
            history->Find("ai2val").Value().SetWord(0, static_cast<uint16_t>(900 - i % 50));
            d.TrendChart()->AddPoll(*history, at);
        }
        RunMonitor(d, *b.master, [&] {
            ASSERT_TRUE(WaitFor([&] { return d.ShownType() == sim.TypeCode(); }));
            ASSERT_TRUE(WaitFor([&] { return d.TrendChart()->Trace("rssi")->PointCount() >= 8; }));
            d.OnStatusTimer();
            const QImage image = d.grab().toImage();
            EXPECT_EQ(image.size(), d.size());
            // The chart panel painted: the right half is not one flat colour.
            const QColor corner = image.pixelColor(image.width() - 5, 5);
            bool varied = false;
            for (int x = image.width() / 2; x < image.width() && !varied; x += 7)
                for (int y = 0; y < image.height() && !varied; y += 7)
                    varied = image.pixelColor(x, y) != corner;
            EXPECT_TRUE(varied);
            ui_support::SaveScreenshot(&d, std::string("monitor-chart-") + s.model + "-" +
                                               (s.language[0] == 'J' ? "Japanese" : "English"));
        });
    }
}
