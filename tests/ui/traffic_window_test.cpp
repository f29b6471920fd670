// The traffic window beside a running monitor on the simulated line: entries arrive, the ring
// keeps only the newest, errors are red, pause holds the list, copy and save give the tool's
// lines; and the monitor's statistics line.
#include "ui/traffic_window.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <sstream>

#include "modbus/modbus_interface.h"
#include "model/dev_types.h"
#include "sim_line.h"
#include "tools/devsim/device_sim.h"
#include "ui/monitor_dialog.h"
#include "ui_support.h"

namespace {

using modbus::TrafficEntry;

devsim::SimConfig Config(const char* model) {
    devsim::SimConfig c;
    c.entry = CDevType::FindModel(model);
    return c;
}

bool WaitFor(const std::function<bool()>& condition, int ms = 5000) {
    return QTest::qWaitFor(condition, ms);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> ModelLines(CTrafficModel& model) {
    std::vector<std::string> lines;
    for (int row = 0; row < model.rowCount(); ++row)
        lines.push_back(modbus::FormatTrafficLine(model.At(row)));
    return lines;
}

class TrafficWindow : public ::testing::Test {
protected:
    void SetUp() override { testing_support::LoadEnglish(); }
    void TearDown() override { testing_support::LoadEnglish(); }
    ui_support::MessageRecorder messages;
    testing_support::TempDir dir;
};

}  // namespace

TEST_F(TrafficWindow, FollowsARunningMonitor) {
    devsim::CDeviceSim sim(Config("RB16T5-PLX4M_2"));
    testing_support::SimMaster bench(sim);
    CModbusInterface& master = bench.master();
    constexpr size_t kRing = 60;
    CTrafficWindow window(master, kRing);
    window.show();
    CMonitorDialog monitor(nullptr, {20, 1000000});
    int opened = 0;
    monitor.SetTrafficOpener([&] { ++opened; });

    QTimer::singleShot(0, &monitor, [&] {
        CTrafficModel& model = *window.Model();
        // Entries arrive, and the ring drops the oldest beyond its limit.
        ASSERT_TRUE(WaitFor([&] { return model.rowCount() > 0; }));
        EXPECT_EQ(model.At(0).direction, modbus::TrafficDirection::TX);
        EXPECT_EQ(model.At(0).meaning, "read 3004 (1 register)");
        const int64_t first = model.At(0).monotonicUs;
        ASSERT_TRUE(WaitFor([&] {
            return model.rowCount() == static_cast<int>(kRing) && model.At(0).monotonicUs > first;
        }));
        for (int row = 1; row < model.rowCount(); ++row)
            EXPECT_LE(model.At(row - 1).monotonicUs, model.At(row).monotonicUs) << row;

        // The monitor counts its polls under its list.
        ASSERT_TRUE(WaitFor([&] { return monitor.Polls() >= 2; }));
        EXPECT_NE(
            monitor.StatisticsLine()->text().indexOf(" polls, 0 time-outs, 0 checksum errors"), -1)
            << monitor.StatisticsLine()->text().toStdString();
        ASSERT_TRUE(monitor.TrafficButton()->isVisible());
        QTest::mouseClick(monitor.TrafficButton(), Qt::LeftButton);
        EXPECT_EQ(opened, 1);

        // A silent device: time-outs, in red, in the list and in both statistics.
        bench.line().silent = true;
        ASSERT_TRUE(WaitFor(
            [&] { return model.rowCount() > 0 && model.At(model.rowCount() - 1).IsError(); }));
        const QModelIndex last = model.index(model.rowCount() - 1, CTrafficModel::COL_MEANING);
        EXPECT_EQ(model.data(last, Qt::ForegroundRole).value<QColor>().red(), 200);
        for (int row = 0; row < model.rowCount(); ++row) {
            if (!model.At(row).IsError()) {
                EXPECT_FALSE(model.data(model.index(row, 0), Qt::ForegroundRole).isValid());
            }
        }
        ASSERT_TRUE(WaitFor([&] { return master.SessionStatistics().timeouts > 0; }));
        window.Refresh();
        EXPECT_NE(window.StatisticsLabel()->text().indexOf(" time-outs"), -1);
        bench.line().silent = false;
        ASSERT_TRUE(WaitFor([&] { return monitor.State() == MON_OK; }));

        ui_support::SaveScreenshot(&window, "traffic_window_en");
        ui_support::SaveScreenshot(&monitor, "monitor_statistics_en");
        g_resources.LoadLanguage("Japanese.lng");
        window.ApplyLanguage();
        window.Refresh();
        ASSERT_TRUE(WaitFor([&] { return monitor.Polls() >= 2 && model.rowCount() > 0; }));
        ui_support::SaveScreenshot(&window, "traffic_window_ja");
        ui_support::SaveScreenshot(&monitor, "monitor_statistics_ja");
        testing_support::LoadEnglish();
        window.ApplyLanguage();

        // Pause holds the list; the entries meanwhile show when it goes on.
        QTest::mouseClick(window.PauseButton(), Qt::LeftButton);
        ASSERT_TRUE(window.Paused());
        const std::vector<std::string> held = ModelLines(model);
        const size_t requests = bench.line().RequestCount();
        ASSERT_TRUE(WaitFor([&] { return bench.line().RequestCount() > requests + 2; }));
        window.Refresh();
        EXPECT_EQ(ModelLines(model), held);
        QTest::mouseClick(window.PauseButton(), Qt::LeftButton);
        EXPECT_FALSE(window.Paused());
        EXPECT_NE(ModelLines(model), held);

        monitor.reject();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &monitor, [&monitor] {
        ADD_FAILURE() << "the monitor did not end";
        monitor.done(QDialog::Rejected);
    });
    guard.start(30000);
    monitor.Run(master);

    // Copy and save give the tool's lines, and clear starts afresh.
    window.View()->selectRow(0);
    const std::vector<std::string> copied = Lines(window.SelectionText().toStdString());
    ASSERT_EQ(copied.size(), 1u);
    EXPECT_EQ(copied[0], modbus::FormatTrafficLine(window.Model()->At(0)));
    const std::string path = dir.File("traffic.txt");
    ASSERT_TRUE(window.SaveTo(path));
    EXPECT_EQ(Lines(testing_support::ReadFile(path)), ModelLines(*window.Model()));
    EXPECT_FALSE(window.SaveTo(dir.File("no/such/folder/traffic.txt")));
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_NE(messages.messages[0].text.find("no/such/folder"), std::string::npos);

    window.ClearAll();
    EXPECT_EQ(window.Model()->rowCount(), 0);
    EXPECT_EQ(master.Statistics().requests, 0u);
}

TEST_F(TrafficWindow, RingKeepsTheNewestEntries) {
    auto batch = [](int from, int n) {
        std::vector<TrafficEntry> entries(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) entries[static_cast<size_t>(i)].monotonicUs = from + i;
        return entries;
    };
    struct Case {
        std::vector<int> batches;  // sizes, appended in order
        int rows;
        int64_t oldest;
    };
    const Case cases[] = {
        {{2}, 2, 0},
        {{2, 2}, 3, 1},
        {{7}, 3, 4},
        {{1, 9}, 3, 7},
    };
    for (const Case& c : cases) {
        CTrafficModel model(3);
        int next = 0;
        for (int n : c.batches) {
            model.Append(batch(next, n));
            next += n;
        }
        ASSERT_EQ(model.rowCount(), c.rows);
        EXPECT_EQ(model.At(0).monotonicUs, c.oldest);
        EXPECT_EQ(model.At(c.rows - 1).monotonicUs, next - 1);
    }
}
