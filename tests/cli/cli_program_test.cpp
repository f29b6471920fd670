// The norvelco-cli program end to end against the norvelco-devsim program on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/private_exception.h"
#include "child_process.h"
#include "model/dev_types.h"
#include "platform/text.h"
#include "session/config_file.h"
#include "test_support.h"
#include "tools/devsim/device_sim.h"

using testing_support::TempDir;
using Clock = std::chrono::steady_clock;

namespace {

std::string Program(const char* name) {
    return testing_support::ChildProcess::Program(name);
}

// The environment of both programs: a runtime folder and a settings file of the test's own.
std::vector<std::string> Env(const TempDir& dir) {
    return {"XDG_RUNTIME_DIR=" + dir.Path().string(),
            "NORVELCO_SETTINGS=" + dir.File("settings.ini")};
}

using Child = testing_support::ChildProcess;

// The simulator program, stopped when the object goes.
class Simulator {
public:
    Simulator(const std::vector<std::string>& args, const TempDir& dir)
        : m_child(Program("norvelco-devsim"), args, Env(dir)) {
        const std::string line = m_child.ReadLine(5000);
        if (line.rfind("PORT ", 0) == 0) m_port = line.substr(5, line.size() - 6);
    }
    const std::string& Port() const { return m_port; }
    // Stops the simulator and returns what it wrote on stderr (its --verbose log).
    std::string StopAndTakeLog() {
        kill(m_child.Pid(), SIGTERM);
        m_child.Finish(5000);
        return m_child.err;
    }

private:
    Child m_child;
    std::string m_port;
};

using testing_support::KeyText;

std::string Read(const std::string& path) {
    return testing_support::ReadFile(path);
}

std::string Text(const char* key, std::initializer_list<platform::FormatArg> args = {}) {
    return KeyText(key, args);
}

struct CliResult {
    int status;
    std::string out;
    std::string err;
};

class CliProgram : public ::testing::Test {
protected:
    void SetUp() override { testing_support::LoadEnglish(); }

    CliResult Cli(const std::string& port, std::vector<std::string> args) {
        args.insert(args.begin(), {"--port", port});
        Child child(Program("norvelco-cli"), args, Env(dir));
        const int status = child.Finish(20000);
        return {status, child.out, child.err};
    }

    TempDir dir;
};

std::vector<uint16_t> WordsOf(const std::string& path) {
    std::vector<uint16_t> words;
    auto model = LoadConfiguration(path);
    for (int i = 0; i < model->Count(); ++i)
        for (uint16_t w : model->At(i).Value().Words()) words.push_back(w);
    return words;
}

}  // namespace

TEST_F(CliProgram, EveryTypeTakesBackWhatWasSetInItsFile) {
    for (int entry = 0; entry < CDevType::EntryCount(); ++entry) {
        const std::string model = CDevType::Entry(entry).modelCode;
        SCOPED_TRACE(model);
        Simulator sim({"--type", model}, dir);
        ASSERT_FALSE(sim.Port().empty());
        const std::string first = dir.File(model + "-1.cfg"), second = dir.File(model + "-2.cfg");

        CliResult r = Cli(sim.Port(), {"upload", "-o", first});
        ASSERT_EQ(r.status, 0) << r.err;
        r = Cli(sim.Port(), {"set", first, "panid=1A2B", "netname=Site-7"});
        ASSERT_EQ(r.status, 0) << r.err;
        r = Cli(sim.Port(), {"download", "-i", first});
        ASSERT_EQ(r.status, 0) << r.err;
        r = Cli(sim.Port(), {"upload", "-o", second});
        ASSERT_EQ(r.status, 0) << r.err;

        EXPECT_EQ(WordsOf(second), WordsOf(first));
        auto back = LoadConfiguration(second);
        EXPECT_EQ(back->Find("panid").GetText(), "1A2B");
        EXPECT_EQ(back->Find("netname").GetText(), "Site-7");
    }
}

TEST_F(CliProgram, IdentifyAndMonitorReportTheDevice) {
    Simulator sim({"--type", "RB16T5-SQ7_2", "--firmware", "2.3.4"}, dir);
    CliResult r = Cli(sim.Port(), {"identify", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const QJsonObject id = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object();
    EXPECT_EQ(id["typeCode"].toInt(), 20243);
    EXPECT_EQ(id["version"].toString(), "2.3");
    EXPECT_EQ(id["firmware"].toString(), "2.3.4");
    EXPECT_EQ(id["modelCode"].toString(), "RB16T5-SQ7_2");
    EXPECT_EQ(id["modelName"].toString().toStdString(),
              CDevType().LongName(CDevType::FindModel("RB16T5-SQ7_2")));

    r = Cli(sim.Port(), {"monitor", "--count", "2", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    int polls = 0;
    while (std::getline(lines, line)) {
        const QJsonObject poll = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        EXPECT_EQ(poll["typeCode"].toInt(), 20243) << line;
        EXPECT_FALSE(poll["parameters"].toArray().isEmpty());
        ++polls;
    }
    EXPECT_EQ(polls, 2);

    // The simulator's link in the virtual ports folder is listed like any port.
    r = Cli(sim.Port(), {"ports", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const QJsonArray ports = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).array();
    bool listed = false;
    for (const auto& port : ports)
        listed = listed || port.toObject()["path"].toString().contains("/norvelco/ports/devsim-");
    EXPECT_TRUE(listed) << r.out;
}

TEST_F(CliProgram, MonitorRecordsEveryPollToCsv) {
    Simulator sim({"--type", "RB16KT5QA"}, dir);
    const std::string csv = dir.File("link.csv");
    CliResult r = Cli(sim.Port(), {"monitor", "--csv", csv, "--count", "5"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream in(Read(csv));
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        rows.emplace_back();
        // Every comma starts a cell, so that empty cells at the end count too.
        for (size_t start = 0;;) {
            const size_t comma = line.find(',', start);
            rows.back().push_back(line.substr(start, comma - start));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    ASSERT_EQ(rows.size(), 6u) << Read(csv);
    const auto column = std::find(rows[0].begin(), rows[0].end(), "rssi [dBm]");
    ASSERT_NE(column, rows[0].end()) << Read(csv);
    const size_t rssi = static_cast<size_t>(column - rows[0].begin());
    size_t answered = 0;
    for (size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), rows[0].size()) << Read(csv);
        EXPECT_EQ(rows[i][0].size(), 24u) << rows[i][0];  // 2026-12-11T14:07:54.123Z
        // A poll that a loaded machine let time out is a row of empty cells, still in step.
        if (std::all_of(rows[i].begin() + 1, rows[i].end(),
                        [](const std::string& cell) { return cell.empty(); }))
            continue;
        ++answered;
        char* end = nullptr;
        std::strtod(rows[i][rssi].c_str(), &end);
        EXPECT_TRUE(!rows[i][rssi].empty() && *end == '\0') << rows[i][rssi];
    }
    EXPECT_GE(answered, 1u) << Read(csv);

    // A file that cannot be written is refused before the device is read.
    r = Cli(sim.Port(), {"monitor", "--csv", dir.File("no/such/folder.csv"), "--count", "1"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
}

TEST_F(CliProgram, DownloadToAnotherTypeWritesNothing) {
    const std::string dump = dir.File("device.txt");
    Simulator sim({"--type", "RB16KT5_2", "--dump", dump}, dir);
    const std::string file = dir.File("qa.cfg");
    ASSERT_EQ(Cli(sim.Port(), {"new", "RB16KT5QA", "-o", file}).status, 0);
    // A value the device does not hold, so that any write would show in its image.
    ASSERT_EQ(Cli(sim.Port(), {"set", file, "panid=1A2B"}).status, 0);
    const std::string before = Read(dump);
    ASSERT_FALSE(before.empty());

    const CliResult r = Cli(sim.Port(), {"download", "-i", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(Text("diffdev")), std::string::npos) << r.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Read(dump), before);
}

TEST_F(CliProgram, ProtectedDeviceNeedsTheRightPassword) {
    Simulator sim({"--type", "RB16KT5_2", "--password", "s3cret"}, dir);
    CliResult r = Cli(sim.Port(), {"--password", "wrong", "identify"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(Text("autherr")), std::string::npos) << r.err;

    // No terminal to ask on and no --password: the user could not answer.
    r = Cli(sim.Port(), {"identify"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(Text("stopcom")), std::string::npos) << r.err;

    r = Cli(sim.Port(), {"--password", "s3cret", "identify"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("RB16KT5_2"), std::string::npos) << r.out;
}

TEST_F(CliProgram, InterruptedUploadKeepsTheOldFile) {
    // At 1200 bit/s the biggest model takes a few seconds to read.
    Simulator sim({"--type", "RB16T5-SQ7_2", "--pace", "1200"}, dir);
    const std::string file = dir.Write("kept.cfg", "old contents");
    Child cli(Program("norvelco-cli"),
              {"--port", sim.Port(), "--baud", "1200", "upload", "-o", file}, Env(dir));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const auto signalled = Clock::now();
    kill(cli.Pid(), SIGINT);
    const int status = cli.Finish(10000);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1) << "ended by the signal instead of stopping";
    // Only the block in progress is finished: well before the whole model would have been read.
    EXPECT_LT(Clock::now() - signalled, std::chrono::milliseconds(1500));
    EXPECT_NE(cli.err.find(Text("cli.cancelled")), std::string::npos) << cli.err;
    EXPECT_EQ(Read(file), "old contents");
    for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
        EXPECT_EQ(e.path().string().find("kept.cfg."), std::string::npos) << e.path();
}

TEST_F(CliProgram, VerifiedDownloadAndDiffAgainstTheDevice) {
    for (const char* model : {"RB16KT5_2", "RB16T5-PLX4M_2", "RB16KT5QC"}) {
        SCOPED_TRACE(model);
        Simulator sim({"--type", model}, dir);
        ASSERT_FALSE(sim.Port().empty());
        const std::string file = dir.File(std::string(model) + ".cfg");
        ASSERT_EQ(Cli(sim.Port(), {"upload", "-o", file}).status, 0);
        ASSERT_EQ(Cli(sim.Port(), {"set", file, "panid=1A2B", "sadrs=0007"}).status, 0);

        CliResult r = Cli(sim.Port(), {"diff", file, "--device"});
        EXPECT_EQ(r.status, 5) << r.err;
        std::istringstream lines(r.out);
        std::vector<std::string> rows;
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("  ", 0) == 0) rows.push_back(line);
        ASSERT_EQ(rows.size(), 2u) << r.out;
        EXPECT_NE(rows[0].find("[panid]: 1A2B \u2192 0000"), std::string::npos) << rows[0];
        EXPECT_NE(rows[1].find("[sadrs]: 0007 \u2192 0000"), std::string::npos) << rows[1];

        r = Cli(sim.Port(), {"download", "--verify", "-i", file});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(Text("cli.verified")), std::string::npos) << r.out;
        r = Cli(sim.Port(), {"diff", "--device", file});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(CliProgram, StuckRegisterFailsTheVerifiedDownloadNamingTheParameter) {
    Simulator sim({"--type", "RB16KT5QD", "--stuck", "1211"}, dir);
    const std::string file = dir.File("qd.cfg"), report = dir.File("qd.html");
    ASSERT_EQ(Cli(sim.Port(), {"new", "RB16KT5QD", "-o", file}).status, 0);
    ASSERT_EQ(Cli(sim.Port(), {"set", file, "sadrs=0042"}).status, 0);
    auto model = LoadConfiguration(file);
    const std::string label = model->Find("sadrs").GetLabel();
    int32_t compared = 0;
    for (int i = 0; i < model->Count(); ++i) compared += model->At(i).Type() != PAR_GROUP;

    // Verification is on by default.
    CliResult r = Cli(sim.Port(), {"download", "-i", file, "--report", report});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(Text("verifyline", {label, "0042", "0000"})), std::string::npos) << r.err;
    EXPECT_NE(Read(report).find(Text("report.verifyfail", {int32_t{1}, compared})),
              std::string::npos);

    r = Cli(sim.Port(), {"download", "--no-verify", "-i", file});
    EXPECT_EQ(r.status, 0) << r.err;
    // The persisted setting turns it off; the option still turns it on.
    std::ofstream(dir.File("settings.ini")) << "[Settings]\nVerifyAfterDownload=0\n";
    EXPECT_EQ(Cli(sim.Port(), {"download", "-i", file}).status, 0);
    EXPECT_EQ(Cli(sim.Port(), {"download", "--verify", "-i", file}).status, 1);
}

TEST_F(CliProgram, KeepLeavesTheUnitsOwnAddresses) {
    const std::string image = dir.Write("unit.txt", "1211 5\n1238 7\n");
    Simulator sim({"--type", "RB16T5-PLX4M_2", "--image", image}, dir);
    const std::string templ = dir.File("template.cfg"), after = dir.File("after.cfg");
    ASSERT_EQ(Cli(sim.Port(), {"new", "RB16T5-PLX4M_2", "-o", templ}).status, 0);
    ASSERT_EQ(Cli(sim.Port(), {"set", templ, "panid=1A2B", "sadrs=0001", "nadrs=1"}).status, 0);
    const std::string before = Read(templ);

    const CliResult r = Cli(sim.Port(), {"download", "-i", templ, "--keep", "sadrs,nadrs"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(Cli(sim.Port(), {"upload", "-o", after}).status, 0);
    auto device = LoadConfiguration(after), wanted = LoadConfiguration(templ);
    EXPECT_EQ(device->Find("sadrs").GetText(), "0005");
    EXPECT_EQ(device->Find("nadrs").GetText(), "7");
    EXPECT_EQ(device->Find("panid").GetText(), "1A2B");
    for (int i = 0; i < wanted->Count(); ++i) {
        const std::string key = wanted->At(i).Key();
        if (key == "sadrs" || key == "nadrs") continue;
        const auto a = wanted->At(i).Value().Words(), b = device->At(i).Value().Words();
        EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end())) << key;
    }
    EXPECT_EQ(Read(templ), before) << "the template stays as it was";
}

TEST_F(CliProgram, ReportOfTheDeviceNamesTheUnitAndEveryParameter) {
    Simulator sim({"--type", "RB16T5-SQ7_2", "--serial", "UNIT-0042"}, dir);
    const std::string html = dir.File("r.html"), csv = dir.File("r.csv");
    CliResult r = Cli(sim.Port(), {"report", "-o", html, "--device"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Cli(sim.Port(), {"report", "--csv", "-o", csv, "--device"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string page = Read(html);
    EXPECT_NE(page.find("UNIT-0042"), std::string::npos);
    EXPECT_NE(Read(csv).find("UNIT-0042"), std::string::npos);
    auto model = CDevType().Create(CDevType::FindModel("RB16T5-SQ7_2"), 0, DEV_SETTINGS);
    for (int i = 0; i < model->Count(); ++i)
        EXPECT_NE(page.find(model->At(i).GetLabel()), std::string::npos) << model->At(i).Key();
}

TEST_F(CliProgram, PortsWatchPrintsPortsAsTheyComeAndGo) {
    Child cli(Program("norvelco-cli"), {"ports", "--watch"}, Env(dir));
    const std::string link = dir.File("norvelco/ports/field");
    auto lineFor = [&](const std::string& change) {
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < end) {
            const std::string line = cli.ReadLine(1000);
            if (line.rfind(change + link + "\t", 0) == 0) return line;
        }
        return std::string();
    };
    std::string pty;
    {
        Simulator sim({"--type", "RB16KT5QA", "--link", "field"}, dir);
        pty = sim.Port();
        EXPECT_EQ(lineFor("+ "), "+ " + link + "\tfield (" + pty + ")\n");
    }
    EXPECT_EQ(lineFor("- "), "- " + link + "\tfield (" + pty + ")\n");
    EXPECT_EQ(cli.Stop(SIGINT), 0) << "Ctrl+C is the way out of watching";
}

TEST_F(CliProgram, DoctorOpensTheChosenPortAndListsTheVirtualPorts) {
    Simulator sim({"--type", "RB16KT5QA", "--link", "bench"}, dir);
    CliResult r = Cli(sim.Port(), {"doctor"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(Text("doc.openok", {sim.Port()})), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(Text("doc.vlink", {"bench", sim.Port()})), std::string::npos) << r.out;
    r = Cli(dir.File("ttyUSB7"), {"doctor"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(Text("serio.gone", {dir.File("ttyUSB7")})), std::string::npos) << r.out;
}

namespace {

// The lines of a text.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The data units of the traffic lines of a direction: the frame's bytes without the CRC.
std::vector<std::string> TrafficUnits(const std::string& log, const std::string& dir) {
    std::vector<std::string> units;
    for (const std::string& line : Lines(log)) {
        // TIMESTAMP DIR BYTES  MEANING
        const size_t space = line.find(' ');
        if (space == std::string::npos || line.compare(space + 1, 3, dir + " ") != 0) continue;
        const size_t bytesAt = space + 4;
        const std::string bytes = line.substr(bytesAt, line.find("  ", bytesAt) - bytesAt);
        if (bytes.size() > 6) units.push_back(bytes.substr(0, bytes.size() - 6));
    }
    return units;
}

// The simulator's --verbose lines of a direction ("<-" requests, "->" replies).
std::vector<std::string> SimulatorUnits(const std::string& log, const std::string& arrow) {
    std::vector<std::string> units;
    for (const std::string& line : Lines(log))
        if (line.rfind(arrow + " ", 0) == 0) units.push_back(line.substr(arrow.size() + 1));
    return units;
}

size_t CountLines(const std::string& log, const std::string& part) {
    size_t n = 0;
    for (const std::string& line : Lines(log)) n += line.find(part) != std::string::npos;
    return n;
}

}  // namespace

TEST_F(CliProgram, TrafficLogShowsEveryFrameTheSimulatorSaw) {
    Simulator sim({"--type", "RB16KT5QA", "--verbose"}, dir);
    const CliResult r = Cli(sim.Port(), {"--traffic", "-", "upload", "-o", dir.File("t.cfg")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string simLog = sim.StopAndTakeLog();

    const auto requests = SimulatorUnits(simLog, "<-");
    ASSERT_GT(requests.size(), 3u) << simLog;
    EXPECT_EQ(TrafficUnits(r.err, "TX"), requests);
    EXPECT_EQ(TrafficUnits(r.err, "RX"), SimulatorUnits(simLog, "->"));
    // Every line has the fixed form, with a UTC timestamp to the microsecond.
    const std::regex form(
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z (TX|RX|--) ([0-9A-F]{2}( [0-9A-F]{2})*)?  \S.*)");
    for (const std::string& line : Lines(r.err)) {
        if (line.size() > 27 && line[4] == '-') {
            EXPECT_TRUE(std::regex_match(line, form)) << line;
        }
    }
    EXPECT_NE(r.err.find("  read 3004 (1 register)"), std::string::npos) << r.err;
}

TEST_F(CliProgram, DroppedRepliesShowAsTimeOutsAndRetriesInLogAndStatistics) {
    Simulator sim({"--type", "RB16KT5QA", "--drop-every", "3"}, dir);
    const std::string log = dir.File("traffic.log");
    const CliResult r = Cli(sim.Port(), {"--traffic", log, "--stats", "--json", "identify"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string traffic = Read(log);
    const auto lines = Lines(r.out);
    ASSERT_FALSE(lines.empty());
    const QJsonObject stats =
        QJsonDocument::fromJson(QByteArray::fromStdString(lines.back())).object();
    const size_t timeouts = CountLines(traffic, " --   time-out after ");
    ASSERT_GT(timeouts, 0u) << traffic;
    EXPECT_EQ(stats["timeouts"].toInt(), static_cast<int>(timeouts)) << lines.back();
    EXPECT_EQ(stats["retries"].toInt(), static_cast<int>(CountLines(traffic, "  retry, attempt ")));
    EXPECT_EQ(stats["requests"].toInt(), static_cast<int>(CountLines(traffic, " TX ")));
    EXPECT_EQ(stats["replies"].toInt(), static_cast<int>(CountLines(traffic, " RX ")));
    for (const char* key : {"checksumErrors", "exceptions", "meanResponseMs", "maxResponseMs"})
        EXPECT_TRUE(stats.contains(key)) << key;
    EXPECT_GT(stats["meanResponseMs"].toDouble(), 0.0);
}

TEST_F(CliProgram, PasswordNeverReachesTheTrafficLog) {
    Simulator sim({"--type", "RB16KT5_2", "--password", "s3cret"}, dir);
    const std::string log = dir.File("traffic.log");
    const CliResult r = Cli(sim.Port(), {"--password", "s3cret", "--traffic", log, "identify"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string traffic = Read(log);
    EXPECT_NE(traffic.find("exception 20: device locked"), std::string::npos) << traffic;
    EXPECT_NE(traffic.find(" ** ** "), std::string::npos) << traffic;
    const auto packed = devsim::PackPassword("s3cret");
    ASSERT_TRUE(packed);
    std::string words;
    for (uint16_t w : *packed)
        words += platform::FormatC("%s%02X %02X", words.empty() ? "" : " ", w >> 8, w & 0xFF);
    // Neither the whole password nor its first two words.
    EXPECT_EQ(traffic.find(words), std::string::npos) << traffic;
    EXPECT_EQ(traffic.find(words.substr(0, 11)), std::string::npos) << traffic;
}
