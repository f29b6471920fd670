// Monitor recordings: the CSV header and lines of each monitor model from the simulator's live
// values, failed polls, the flush after every line, a device type change, unwritable files.
#include "session/monitor_record.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "model/dev_types.h"
#include "session/device_session.h"
#include "sim_line.h"
#include "test_support.h"

using testing_support::SimMaster;
using testing_support::TempDir;

namespace {

std::unique_ptr<CDevInterface> Poll(const char* modelCode) {
    devsim::SimConfig c;
    c.entry = CDevType::FindModel(modelCode);
    c.firmware = {2, 5, 1};
    devsim::CDeviceSim sim(c);
    SimMaster m(sim);
    return PollMonitor(m.master());
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> Cells(const std::string& line) {
    std::vector<std::string> cells;
    std::istringstream in(line);
    for (std::string cell; std::getline(in, cell, ',');) cells.push_back(cell);
    if (!line.empty() && line.back() == ',') cells.push_back("");
    return cells;
}

const MonitorClock::time_point kNoon =
    MonitorClock::time_point(std::chrono::milliseconds(1796998074123));  // 2026-12-11T14:07:54.123Z

class MonitorRecord : public ::testing::Test {
protected:
    void SetUp() override { testing_support::LoadEnglish(); }
    TempDir dir;
};

}  // namespace

TEST_F(MonitorRecord, TimeIsIsoUtcWithMilliseconds) {
    EXPECT_EQ(CMonitorRecorder::FormatTime(kNoon), "2026-12-11T14:07:54.123Z");
    EXPECT_EQ(CMonitorRecorder::FormatTime(MonitorClock::time_point{}), "1970-01-01T00:00:00.000Z");
}

TEST_F(MonitorRecord, HeaderAndLineOfEachMonitorModel) {
    struct Case {
        const char* model;
        std::vector<std::string> numeric;  // columns that must hold plain numbers
        std::vector<std::string> absent;   // operations have no column
    };
    const Case cases[] = {
        {"RB16KT5QA", {"rssi [dBm]", "tx485ok", "rx485ok", "rx485err"}, {"resetcmd"}},
        {"RB16T5-PLX4M_2", {"rssi [dBm]"}, {"do1ch", "do2ch", "resetcmd"}},
        {"RB16T5-SQ7_2", {"rssi [dBm]", "ai1val", "ai2val"}, {"resetcmd"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        auto model = Poll(c.model);
        const std::vector<std::string> header = Cells(CMonitorRecorder::Header(*model));
        const std::vector<std::string> line = Cells(CMonitorRecorder::Line(*model, kNoon));
        ASSERT_EQ(header.size(), line.size());
        EXPECT_EQ(header[0], "time");
        EXPECT_EQ(line[0], "2026-12-11T14:07:54.123Z");
        EXPECT_EQ(header[1], "firmver");
        EXPECT_EQ(line[1], "2.5.1");
        for (const std::string& column : c.numeric) {
            const auto at = std::find(header.begin(), header.end(), column);
            ASSERT_NE(at, header.end()) << column;
            const std::string& cell = line[static_cast<size_t>(at - header.begin())];
            char* end = nullptr;
            std::strtod(cell.c_str(), &end);
            EXPECT_TRUE(!cell.empty() && *end == '\0') << column << " = " << cell;
        }
        for (const std::string& column : c.absent)
            EXPECT_EQ(std::find(header.begin(), header.end(), column), header.end()) << column;
    }
}

TEST_F(MonitorRecord, ListValuesAreTheirTextAndTextsAreQuotedWhenNeeded) {
    auto model = Poll("RB16T5-PLX4M_2");
    model->Find("rnetname").Value().SetString(0, "a,\"b\"");
    const std::string header = CMonitorRecorder::Header(*model);
    const std::string line = CMonitorRecorder::Line(*model, kNoon);
    EXPECT_NE(line.find(",\"a,\"\"b\"\"\","), std::string::npos) << line;
    const std::vector<std::string> h = Cells(header);
    const std::vector<std::string> l = Cells(line);
    const size_t di1 = static_cast<size_t>(std::find(h.begin(), h.end(), "di1") - h.begin());
    ASSERT_LT(di1, h.size());
    // Two cells more on the line: the quoted comma splits naively.
    EXPECT_TRUE(l[di1 + 1] == "On" || l[di1 + 1] == "Off") << l[di1 + 1];
}

TEST_F(MonitorRecord, EveryPollIsOnDiskAtOnceAndFailedPollsLeaveEmptyCells) {
    const std::string path = dir.File("rec.csv");
    CMonitorRecorder rec(path);
    rec.AddFailedPoll(kNoon);  // nothing known yet: no columns, no line
    auto model = Poll("RB16T5-SQ7_2");
    rec.AddPoll(*model, kNoon);
    // Read while the recorder is still open: the line must already be in the file.
    std::vector<std::string> lines = Lines(testing_support::ReadFile(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], CMonitorRecorder::Header(*model));
    rec.AddFailedPoll(kNoon + std::chrono::seconds(1));
    lines = Lines(testing_support::ReadFile(path));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "2026-12-11T14:07:55.123Z" +
                            std::string(Cells(lines[0]).size() - 1, ','));
    EXPECT_EQ(rec.Lines(), 2);
    EXPECT_EQ(rec.CurrentPath(), path);
}

TEST_F(MonitorRecord, AnotherDeviceTypeStartsANewFileBesideTheFirst) {
    const std::string path = dir.File("site.csv");
    auto modem = Poll("RB16KT5QA");
    auto analogue = Poll("RB16T5-SQ7_2");
    {
        CMonitorRecorder rec(path);
        rec.AddPoll(*modem, kNoon);
        rec.AddPoll(*analogue, kNoon);
        EXPECT_EQ(rec.CurrentPath(), dir.File("site-2.csv"));
        EXPECT_EQ(rec.Lines(), 1);
        rec.AddPoll(*modem, kNoon);  // back to the first file, whose columns these are
        EXPECT_EQ(rec.CurrentPath(), path);
    }
    EXPECT_EQ(Lines(testing_support::ReadFile(path)).size(), 3u);
    const std::vector<std::string> second = Lines(testing_support::ReadFile(dir.File("site-2.csv")));
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0], CMonitorRecorder::Header(*analogue));

    // A later recording into the same file appends under its header, never a second header.
    CMonitorRecorder again(path);
    again.AddPoll(*modem, kNoon);
    EXPECT_EQ(Lines(testing_support::ReadFile(path)).size(), 4u);
}

TEST_F(MonitorRecord, AnUnwritableFileIsAnErrorNamingIt) {
    const std::string path = dir.File("missing/rec.csv");
    CMonitorRecorder rec(path);
    auto model = Poll("RB16KT5QA");
    const std::string error = testing_support::ErrorText([&] { rec.AddPoll(*model, kNoon); });
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_EQ(error.find("rec.openerr"), std::string::npos) << error;
}

TEST_F(MonitorRecord, NumbersOfNumberParametersOnly) {
    auto model = Poll("RB16T5-SQ7_2");
    model->Find("rssi").Value().SetWord(0, static_cast<uint16_t>(-67));
    EXPECT_EQ(MonitorNumber(model->Find("rssi")), -67.0);
    EXPECT_FALSE(MonitorNumber(model->Find("ai1inv")).has_value());  // a list
    EXPECT_FALSE(MonitorNumber(model->Find("firmver")).has_value());
    EXPECT_FALSE(MonitorNumber(model->Find("rpanid")).has_value());  // an address in hex
}
