// The command-line tool called in-process: its command line, the file commands, and the device
// commands against a simulated device whose type the catalogue does not know.
#include "tools/cli/cli_commands.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/private_exception.h"
#include "model/dev_types.h"
#include "model/modbus_mapping.h"
#include "session/config_file.h"
#include "test_support.h"
#include "tools/cli/cli_options.h"
#include "tools/devsim/frame_server.h"
#include "tools/devsim/virtual_port.h"

using testing_support::TempDir;

namespace {

struct CliResult {
    int status;
    std::string out;
    std::string err;
};

using testing_support::KeyText;

std::string Read(const std::string& path) {
    return testing_support::ReadFile(path);
}

std::string Text(const char* key, std::initializer_list<platform::FormatArg> args = {}) {
    return KeyText(key, args);
}

class CliCommands : public ::testing::Test {
protected:
    void SetUp() override {
        // The tool reads its settings from here and never from the user's store.
        setenv("NORVELCO_SETTINGS", dir.File("settings.ini").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1);
        testing_support::LoadEnglish();
    }

    CliResult Cli(const std::vector<std::string>& args) {
        std::ostringstream out, err;
        cli::CliTerminal terminal;
        const std::atomic<bool> interrupted{false};
        cli::Environment env{out, err, terminal, interrupted};
        const int status = cli::RunCli(args, env);
        return {status, out.str(), err.str()};
    }

    // A new settings file of the model.
    std::string NewFile(const std::string& model, const std::string& name = "m.cfg") {
        const std::string path = dir.File(name);
        EXPECT_EQ(Cli({"new", model, "-o", path}).status, 0);
        return path;
    }

    TempDir dir;
};

}  // namespace

TEST_F(CliCommands, MalformedCommandLinesAreUsageErrors) {
    const std::string file = NewFile("RB16KT5_2");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"bogus"},
        {"--bogus", "ports"},
        {"--json=yes", "ports"},
        {"identify", "extra"},
        {"upload"},
        {"download"},
        {"new", "-o", dir.File("x.cfg")},
        {"new", "NOPE", "-o", dir.File("x.cfg")},
        {"new", "70000", "-o", dir.File("x.cfg")},
        {"show"},
        {"show", "--device", file},
        {"set", file},
        {"set", file, "panid"},
        {"set", file, "=1"},
        {"--port"},
        {"--baud", "115200", "identify"},
        {"--parity", "weird", "identify"},
        {"--data-bits", "9", "identify"},
        {"--stop-bits", "3", "identify"},
        {"--mode", "rtu2", "identify"},
        {"--address", "0", "identify"},
        {"--address", "248", "identify"},
        {"monitor", "--count", "0"},
        {"identify", "-o", file},
        {"ports", "--device"},
        {"ports", "--stats"},
        {"new", "RB16KT5_2", "-o", dir.File("x.cfg"), "--traffic", "-"},
        {"--traffic", "", "identify"},
        // No port in the options nor in the settings.
        {"identify"},
        {"diff"},
        {"diff", file},
        {"diff", "--device"},
        {"diff", file, file, file},
        {"diff", file, file, "--device"},
        {"diff", "", file},
        {"report", file},
        {"report", "-o", dir.File("r.html")},
        {"report", "-o", dir.File("r.html"), "--device", file},
        {"download", "-i", file, "--csv"},
        {"download", "-i", file, "--keep", ""},
        {"download", "-i", file, "--keep", "sadrs,,nadrs"},
        {"upload", "-o", file, "--verify"},
        {"show", file, "--keep", "sadrs"},
    };
    const std::string usage = Text("cli.usage");
    for (const auto& args : cases) {
        std::string line;
        for (const auto& a : args) line += a + " ";
        SCOPED_TRACE(line);
        const CliResult r = Cli(args);
        EXPECT_EQ(r.status, cli::EXIT_USAGE);
        EXPECT_NE(r.err.find(usage), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(Cli({"--help"}).status, 0);
}

TEST_F(CliCommands, OptionsOverrideThePersistedSettings) {
    ComSettings stored;
    stored.COMPortName = "/dev/ttyUSB7";
    stored.Address = 9;
    stored.Baudrate = 2;

    // Nothing given: the store, with 8 data bits.
    ComSettings s = cli::ConnectionSettings(cli::ParseCommandLine({"identify"}), stored);
    EXPECT_EQ(s.COMPortName, "/dev/ttyUSB7");
    EXPECT_EQ(s.Address, 9);
    EXPECT_EQ(s.BaudRate(), 4800);
    EXPECT_EQ(s.DataBits(), 8);

    s = cli::ConnectionSettings(
        cli::ParseCommandLine({"--port=/dev/pts/3", "--mode", "ascii", "--address", "17", "--baud",
                               "9600", "--parity", "even", "--data-bits", "7", "--stop-bits", "2",
                               "identify"}),
        stored);
    EXPECT_EQ(s.COMPortName, "/dev/pts/3");
    EXPECT_EQ(s.Mode, 4);
    EXPECT_EQ(s.Address, 17);
    EXPECT_EQ(s.BaudRate(), 9600);
    EXPECT_EQ(s.ParityCode(), PARITY_EVEN);
    EXPECT_EQ(s.DataBits(), 7);
    EXPECT_EQ(s.StopBits(), STOPBITS_TWO);
}

TEST_F(CliCommands, SetAppliesEachValueOrLeavesTheFileUntouched) {
    struct Case {
        std::vector<std::string> assignments;
        int status;
        const char* key;   // checked after a success
        const char* text;  // its display text
    };
    const Case cases[] = {
        {{"rate=2"}, 0, "rate", "38400 bit/s"},
        {{"parity=Even"}, 0, "parity", "Even"},
        {{"rate=38400"}, cli::EXIT_VALUE, nullptr, nullptr},
        {{"ch=7, 3,43,3"}, 0, "ch", "3, 7, 43"},
        {{"ch=3", "ch="}, 0, "ch", ""},
        {{"ch=44"}, cli::EXIT_VALUE, nullptr, nullptr},
        {{"ch=0"}, cli::EXIT_VALUE, nullptr, nullptr},
        {{"ch=1,,2"}, cli::EXIT_VALUE, nullptr, nullptr},
        {{"ch=1,2,3,4,5,6,7,8,9,10,11"}, cli::EXIT_VALUE, nullptr, nullptr},
        {{"panid=1A2B"}, 0, "panid", "1A2B"},
        {{"panid=FFFF"}, cli::EXIT_VALUE, nullptr, nullptr},
        {{"netname=Site-7"}, 0, "netname", "Site-7"},
        {{"netname=Bad#Name"}, cli::EXIT_VALUE, nullptr, nullptr},
        {{"netfiltertm=2.5"}, 0, "netfiltertm", "2.5 (s)"},
        {{"runtm=fast"}, cli::EXIT_VALUE, nullptr, nullptr},
        {{"nrvl=1"}, cli::EXIT_VALUE, nullptr, nullptr},  // a group heading: display only
        {{"detoadrs=0001"},
         cli::EXIT_VALUE,
         nullptr,
         nullptr},  // locked while routing is automatic
        {{"fixroute=1", "detoadrs=0001"}, 0, "detoadrs", "0001"},
        {{"nosuch=1"}, cli::EXIT_VALUE, nullptr, nullptr},
        // The first value is good, the second refused: nothing is written.
        {{"panid=1A2B", "netname=Bad#"}, cli::EXIT_VALUE, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.assignments) line += a + " ";
        SCOPED_TRACE(line);
        const std::string path = NewFile("RB16KT5_2");
        const std::string before = Read(path);
        std::vector<std::string> args = {"set", path};
        args.insert(args.end(), c.assignments.begin(), c.assignments.end());
        const CliResult r = Cli(args);
        ASSERT_EQ(r.status, c.status) << r.err;
        if (c.status != 0) {
            EXPECT_FALSE(r.err.empty());
            EXPECT_EQ(Read(path), before);
            continue;
        }
        auto model = LoadConfiguration(path);
        EXPECT_EQ(model->AdjustText(model->IndexOf(c.key), model->Find(c.key).GetDisplayText()),
                  c.text);
    }
}

TEST_F(CliCommands, SetNamesWhyAValueIsRefused) {
    const std::string path = NewFile("RB16KT5_2");
    EXPECT_NE(
        Cli({"set", path, "panid=FFFF"}).err.find(Text("rangeerr", {"PAN ID", "0000", "FFFE"})),
        std::string::npos);
    EXPECT_NE(Cli({"set", path, "detoadrs=1"})
                  .err.find(Text("cli.locked", {"Destination address", "detoadrs"})),
              std::string::npos);
    const std::string choices = Cli({"set", path, "rate=fast"}).err;
    EXPECT_NE(choices.find("0 = 9600 bit/s, 1 = 19200 bit/s"), std::string::npos) << choices;
}

TEST_F(CliCommands, SetRunsTheModelRulesAfterEachValue) {
    // Transmit power 4 is not allowed on the low channels: the rule takes it back to 3 and says so.
    const std::string path = NewFile("RB16KT5QD");
    const CliResult r = Cli({"set", path, "ch=1", "txpwr=4"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(g_resources.GetParameterText("RB16KT5QD", "txlimit")), std::string::npos);
    EXPECT_EQ(LoadConfiguration(path)->Find("txpwr").Value().Word(0), 3);
}

TEST_F(CliCommands, NewThenShowListsTheModel) {
    const std::string path = NewFile("rb16kt5qa");
    const CliResult text = Cli({"show", path});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("[RS-485 port]\n  Baud rate: 9600 bit/s\n"), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("type code 18962"), std::string::npos);

    const CliResult json = Cli({"show", "--json", path});
    ASSERT_EQ(json.status, 0) << json.err;
    QJsonParseError error{};
    const QJsonObject root =
        QJsonDocument::fromJson(QByteArray::fromStdString(json.out), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.out;
    EXPECT_EQ(root["typeCode"].toInt(), 18962);
    EXPECT_EQ(root["version"].toString(), "1.0");
    const QJsonArray parameters = root["parameters"].toArray();
    auto model = CDevType().Create(CDevType::FindModel("RB16KT5QA"), 0, DEV_SETTINGS);
    int groups = 0;
    for (int i = 0; i < model->Count(); ++i) groups += model->At(i).Type() == PAR_GROUP;
    EXPECT_EQ(parameters.size(), model->Count() - groups);  // group headings are not rows
    bool seen = false;
    for (const auto& value : parameters) {
        const QJsonObject p = value.toObject();
        if (p["key"].toString() != "panid") continue;
        seen = true;
        EXPECT_EQ(p["index"].toInt(), model->IndexOf("panid"));
        EXPECT_EQ(p["label"].toString(), "PAN ID");
        EXPECT_EQ(p["group"].toString(), "Wireless network");
        EXPECT_EQ(p["text"].toString(), "0000");
        EXPECT_EQ(p["address"].toInt(), 1200);
        EXPECT_EQ(p["registers"].toArray(), QJsonArray({0}));
        EXPECT_FALSE(p["locked"].toBool());
        EXPECT_FALSE(p["readonly"].toBool());
    }
    EXPECT_TRUE(seen);

    // A type code names the model too.
    const std::string byCode = NewFile("20242", "c.cfg");
    EXPECT_STREQ(LoadConfiguration(byCode)->ModelCode(), "RB16KT5_2");
}

TEST_F(CliCommands, FileErrorsExitWithThree) {
    const std::string bad = dir.Write("bad.cfg", "<root><application>NORVELCO</application>");
    const CliResult show = Cli({"show", bad});
    EXPECT_EQ(show.status, cli::EXIT_FILE);
    EXPECT_NE(show.err.find(Text("illfileerr")), std::string::npos) << show.err;
    EXPECT_EQ(Cli({"set", dir.File("missing.cfg"), "panid=1"}).status, cli::EXIT_FILE);
    EXPECT_EQ(Cli({"--port", "/dev/null", "download", "-i", bad}).status, cli::EXIT_FILE);
    // An output that cannot be written is refused before the device is asked anything.
    EXPECT_EQ(Cli({"--port", dir.File("none"), "upload", "-o", dir.File("no/such/dir.cfg")}).status,
              cli::EXIT_FILE);
    EXPECT_EQ(Cli({"new", "RB16KT5_2", "-o", dir.Path().string()}).status, cli::EXIT_FILE);
    EXPECT_EQ(Cli({"--language", dir.File("none.lng"), "ports"}).status, cli::EXIT_FILE);
    // A traffic log that cannot be written stops the command before the device is touched.
    const CliResult traffic =
        Cli({"--port", "/dev/null", "--traffic", dir.File("no/such/dir.log"), "identify"});
    EXPECT_EQ(traffic.status, cli::EXIT_FILE);
    EXPECT_NE(traffic.err.find(dir.File("no/such/dir.log")), std::string::npos) << traffic.err;
}

// A folder where a file belongs is a file error with the file's own message, never the standard
// library's text or an abort.
TEST_F(CliCommands, FolderGivenAsAFileIsAFileError) {
    const std::string folder = dir.Path().string();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"show", folder},
          {"set", folder, "panid=1"},
          {"--port", "/dev/null", "download", "-i", folder}}) {
        const CliResult r = Cli(args);
        EXPECT_EQ(r.status, cli::EXIT_FILE) << args[0];
        EXPECT_NE(r.err.find(Text("illfileerr")), std::string::npos) << r.err;
    }
    const CliResult language = Cli({"--language", folder, "ports"});
    EXPECT_EQ(language.status, cli::EXIT_FILE);
    EXPECT_NE(language.err.find("Is a directory"), std::string::npos) << language.err;
    testing_support::LoadEnglish();
}

namespace {

// A simulated device served on a pseudo-terminal by a thread of the test, for what the simulator
// program cannot be asked to do.
class InProcessDevice {
public:
    // writesAnswered: the device falls silent after answering that many register writes.
    explicit InProcessDevice(uint16_t typeCode, int writesAnswered = -1)
        : m_writesLeft(writesAnswered),
          m_device(devsim::SimConfig{}),
          m_server(m_device, devsim::Framing::Rtu, devsim::FaultConfig{},
                   devsim::FrameSilence(38400)) {
        m_device.SetRegister(3003, typeCode);
        m_thread = std::jthread([this](std::stop_token stop) { Serve(stop); });
    }
    const std::string& Port() const { return m_pty.SlavePath(); }

private:
    void Serve(std::stop_token stop) {
        while (!stop.stop_requested()) {
            pollfd p{m_pty.MasterFd(), POLLIN, 0};
            std::vector<devsim::Frame> replies;
            if (poll(&p, 1, 10) > 0) {
                uint8_t buffer[512];
                const ssize_t n = read(m_pty.MasterFd(), buffer, sizeof buffer);
                if (n > 0)
                    replies = m_server.Receive(std::span(buffer, static_cast<size_t>(n)),
                                               devsim::Clock::now());
            }
            for (auto& r : m_server.Idle(devsim::Clock::now())) replies.push_back(std::move(r));
            for (const auto& frame : replies) {
                const bool writeReply = frame.size() > 1 && frame[1] == 16;
                if (writeReply && m_writesLeft == 0) continue;  // silent from here on
                if (writeReply && m_writesLeft > 0) --m_writesLeft;
                if (write(m_pty.MasterFd(), frame.data(), frame.size()) < 0) return;
            }
        }
    }

    int m_writesLeft;
    devsim::CDeviceSim m_device;
    devsim::CFrameServer m_server;
    devsim::CPseudoTerminal m_pty;
    std::jthread m_thread;  // last: stops before the rest goes
};

}  // namespace

TEST_F(CliCommands, UnknownDeviceTypeIsNamedWithItsCode) {
    InProcessDevice device(4660);
    const std::string expected = Text("unknowndev", {int32_t{4660}});
    const CliResult identify = Cli({"--port", device.Port(), "identify"});
    EXPECT_EQ(identify.status, cli::EXIT_DEVICE);
    EXPECT_NE(identify.err.find(expected), std::string::npos) << identify.err;

    const CliResult upload = Cli({"--port", device.Port(), "upload", "-o", dir.File("u.cfg")});
    EXPECT_EQ(upload.status, cli::EXIT_DEVICE);
    EXPECT_NE(upload.err.find(expected), std::string::npos) << upload.err;
    EXPECT_FALSE(std::filesystem::exists(dir.File("u.cfg")));
}

TEST_F(CliCommands, DiffListsTheParametersThatDifferGroupedLikeTheList) {
    const std::string a = NewFile("RB16KT5_2", "a.cfg"), b = NewFile("RB16KT5_2", "b.cfg");
    ASSERT_EQ(Cli({"set", b, "rate=1", "panid=1A2B"}).status, 0);
    auto model = LoadConfiguration(a);
    const auto label = [&](const char* key) { return model->Find(key).GetLabel(); };

    CliResult r = Cli({"diff", a, b});
    EXPECT_EQ(r.status, cli::EXIT_DIFFERENT) << r.err;
    EXPECT_EQ(r.out, "[" + label("rs485") + "]\n  " + label("rate") +
                         " [rate]: 9600 bit/s \u2192 19200 bit/s\n[" + label("nrvl") + "]\n  " +
                         label("panid") + " [panid]: 0000 \u2192 1A2B\n");

    r = Cli({"--json", "diff", b, a});
    EXPECT_EQ(r.status, cli::EXIT_DIFFERENT);
    const QJsonArray rows = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).array();
    ASSERT_EQ(rows.size(), 2) << r.out;
    EXPECT_EQ(rows[1].toObject()["key"].toString(), "panid");
    EXPECT_EQ(rows[1].toObject()["a"].toString(), "1A2B");
    EXPECT_EQ(rows[1].toObject()["b"].toString(), "0000");

    r = Cli({"diff", a, a});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Cli({"--json", "diff", a, a}).out, "[]\n");

    r = Cli({"diff", a, NewFile("RB16KT5QA", "qa.cfg")});
    EXPECT_EQ(r.status, cli::EXIT_FILE);
    EXPECT_NE(r.err.find(Text("diffdev")), std::string::npos) << r.err;
    EXPECT_EQ(Cli({"diff", a, dir.File("missing.cfg")}).status, cli::EXIT_FILE);
}

TEST_F(CliCommands, DeviceSideOfDiffStandsWhereItIsWritten) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> sides;
    } cases[] = {
        {{"diff", "a", "b"}, {"a", "b"}},
        {{"diff", "--device", "a"}, {"", "a"}},
        {{"diff", "a", "--device"}, {"a", ""}},
        {{"--device", "diff", "a"}, {"", "a"}},
    };
    for (const auto& c : cases) EXPECT_EQ(cli::ParseCommandLine(c.args).DiffSides(), c.sides);
}

TEST_F(CliCommands, CsvIsAFileOfTheMonitorAndAFlagOfTheReport) {
    const cli::Options monitor = cli::ParseCommandLine({"monitor", "--csv", "f.csv", "--count", "5"});
    EXPECT_EQ(monitor.monitorCsv, "f.csv");
    EXPECT_EQ(monitor.count, 5);
    const cli::Options report = cli::ParseCommandLine({"report", "-o", "r.csv", "--csv", "x.cfg"});
    EXPECT_TRUE(report.csv);
    EXPECT_EQ(report.operands, std::vector<std::string>{"x.cfg"});
    EXPECT_EQ(testing_support::ErrorText([] {
                  try {
                      cli::ParseCommandLine({"monitor", "--csv"});
                  } catch (const cli::UsageError& e) {
                      throw CPrivateException(e.message);
                  }
              }),
              Text("cli.needvalue", {"--csv"}));
}

TEST_F(CliCommands, DownloadRefusesAnUnknownKeptKeyBeforeTheDevice) {
    const std::string file = NewFile("RB16KT5_2");
    const CliResult r = Cli({"--port", dir.File("none"), "download", "-i", file, "--keep",
                             "sadrs,nadrs"});  // this model has no Modbus slave address
    EXPECT_EQ(r.status, cli::EXIT_USAGE);
    EXPECT_NE(r.err.find(Text("cli.unknownkey", {"nadrs", "RB16KT5_2"})), std::string::npos)
        << r.err;
}

TEST_F(CliCommands, ReportOfAFileListsEveryParameter) {
    const std::string file = NewFile("RB16KT5QB");
    const std::string html = dir.File("r.html"), csv = dir.File("r.csv");
    ASSERT_EQ(Cli({"report", "-o", html, file}).status, 0);
    ASSERT_EQ(Cli({"report", "--csv", "-o", csv, file}).status, 0);
    auto model = LoadConfiguration(file);
    const std::string page = Read(html), table = Read(csv);
    EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
    for (int i = 0; i < model->Count(); ++i) {
        EXPECT_NE(page.find(model->At(i).GetLabel()), std::string::npos) << model->At(i).Key();
        if (model->At(i).Type() != PAR_GROUP) {
            EXPECT_NE(table.find(",\"" + std::string(model->At(i).Key()) + "\","),
                      std::string::npos);
        }
    }
    EXPECT_EQ(Cli({"report", "-o", dir.File("no/such/r.html"), file}).status, cli::EXIT_FILE);
}

// A value its parameter does not allow: shown marked, and a download is refused before the port
// is opened, naming the parameter, its value and what is allowed.
TEST_F(CliCommands, ValuesTheParametersDoNotAllowAreMarkedAndNeverDownloaded) {
    auto model = CDevType().Create(CDevType::FindModel("RB16KT5QA"), 0, DEV_SETTINGS);
    model->Find("rate").Value().SetWord(0, 99);
    const std::string path = dir.File("bad.cfg");
    SaveConfiguration(*model, path);
    const std::string label = model->Find("rate").GetLabel();

    const CliResult show = Cli({"show", path});
    ASSERT_EQ(show.status, 0) << show.err;
    const std::string allowed =
        Text("val.list", {"9600 bit/s, 19200 bit/s, 38400 bit/s, 115200 bit/s"});
    EXPECT_NE(show.out.find("  " + label + ": 99  " + Text("val.mark", {allowed}) + "\n"),
              std::string::npos)
        << show.out;
    const CliResult json = Cli({"--json", "show", path});
    EXPECT_NE(json.out.find("\"key\":\"rate\",\"label\""), std::string::npos);
    EXPECT_NE(json.out.find("\"valid\":false"), std::string::npos) << json.out;

    const CliResult download = Cli({"--port", dir.File("no-such-port"), "download", "-i", path});
    EXPECT_EQ(download.status, cli::EXIT_VALUE) << download.err;
    EXPECT_NE(download.err.find(Text("val.bad", {label, "99", allowed})), std::string::npos)
        << download.err;
    EXPECT_EQ(download.err.find("\\x0a"), std::string::npos) << "its own line breaks stay";
}

// A download that the device stopped answering part-way says how far it got, and keeps its
// status.
TEST_F(CliCommands, DownloadStoppedPartWayWarnsOfTheMixture) {
    InProcessDevice device(CDevType::Entry(0).typeCode, 1);
    const std::string path = NewFile(CDevType::Entry(0).modelCode);
    const CliResult r = Cli({"--port", device.Port(), "download", "-i", path});
    EXPECT_EQ(r.status, cli::EXIT_DEVICE);
    CModbusMapping image;
    image.AddModel(*LoadConfiguration(path));
    EXPECT_NE(r.err.find(Text("mixwarn", {1, static_cast<int32_t>(image.Blocks().size())})),
              std::string::npos)
        << r.err;
}

// Text from a file reaches the terminal with its control characters made visible; JSON escapes
// them its own way.
TEST_F(CliCommands, ControlCharactersFromAFileNeverReachTheTerminal) {
    auto model = CDevType().Create(CDevType::FindModel("RB16KT5QA"), 0, DEV_SETTINGS);
    model->Find("netname").Value().SetString(0, "\x1b[2J\x1b]0;x\x07\xc2\x9b");
    const std::string path = dir.File("esc.cfg");
    SaveConfiguration(*model, path);
    const CliResult show = Cli({"show", path});
    EXPECT_EQ(show.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(show.out.find('\x07'), std::string::npos);
    EXPECT_NE(show.out.find("\\x1b[2J\\x1b]0;x\\x07\\u009b"), std::string::npos) << show.out;
    const CliResult json = Cli({"--json", "show", path});
    EXPECT_NE(json.out.find("\\u001b[2J"), std::string::npos) << json.out;
}

// A language file that lacks texts shows the English ones, and says once how many it lacks.
TEST_F(CliCommands, LanguageFileLackingTextsFallsBackToEnglish) {
    const std::string language = dir.Write(
        "part.lng",
        "<root><application>NORVELT</application><filetype>language</filetype>"
        "<language>Part</language><message><text name=\"cli.saved\">Saved: %1</text></message>"
        "</root>");
    const CliResult r = Cli({"--language", language, "bogus"});
    EXPECT_EQ(r.status, cli::EXIT_USAGE);
    EXPECT_NE(r.err.find(Text("cli.usage")), std::string::npos) << "the English usage text";
    const std::string warning = "The language file " + language + " lacks ";
    EXPECT_EQ(r.err.find(warning), r.err.rfind(warning)) << r.err;
    EXPECT_NE(r.err.find(warning), std::string::npos) << r.err;
    const CliResult saved =
        Cli({"--language", language, "new", "RB16KT5QA", "-o", dir.File("p.cfg")});
    EXPECT_EQ(saved.out, "Saved: " + dir.File("p.cfg") + "\n");
    testing_support::LoadEnglish();
}

// The output is checked before the device is read: a name too long for the system is refused
// at once, also where the device does not exist.
TEST_F(CliCommands, UploadChecksItsOutputBeforeTheDevice) {
    const CliResult r = Cli({"--port", dir.File("no-such-port"), "upload", "-o",
                             dir.File(std::string(256, 'n') + ".cfg")});
    EXPECT_EQ(r.status, cli::EXIT_FILE);
    EXPECT_NE(r.err.find("File name too long"), std::string::npos) << r.err;
}
