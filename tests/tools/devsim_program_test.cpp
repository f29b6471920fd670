// The simulator's command line, image files, and the program itself on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "modbus/framing.h"
#include "model/dev_types.h"
#include "sim_process.h"
#include "test_support.h"
#include "tools/devsim/devsim_options.h"

using namespace devsim;
using testing_support::TempDir;

TEST(DeviceSimOptions, MalformedCommandLinesAreUsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"--type"},
        {"--type", "RB99"},
        {"--type", "20245"},
        {"--firmware", "1"},
        {"--firmware", "1.2.3.4"},
        {"--firmware", "1.x.0"},
        {"--framing", "tcp"},
        {"--unit", "0"},
        {"--unit", "248"},
        {"--unit", "1a"},
        {"--password", ""},
        {"--password", "12345678901234567"},
        {"--protect-exception", "4"},
        {"--drop-every", "0"},
        {"--exception", "0"},
        {"--delay-ms", "-1"},
        {"--silent=yes"},
        {"--link", ""},
        {"--stuck", ""},
        {"--stuck", "1200,"},
        {"--stuck", "70000"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        EXPECT_THROW(ParseOptions(args), UsageError);
    }
}

TEST(DeviceSimOptions, OptionsAreTaken) {
    const Options o = ParseOptions({"--type",
                                    "rb16kt5qd",
                                    "--firmware=3.4.5",
                                    "--framing",
                                    "ascii",
                                    "--unit",
                                    "12",
                                    "--password",
                                    "pw",
                                    "--protect-exception",
                                    "21",
                                    "--relock-after",
                                    "60",
                                    "--corrupt-every",
                                    "3",
                                    "--exception",
                                    "6",
                                    "--pace",
                                    "9600",
                                    "--stuck",
                                    "1211,1200"});
    EXPECT_EQ(o.sim.entry, CDevType::FindModel("RB16KT5QD"));
    EXPECT_EQ(o.sim.firmware, (std::array<uint16_t, 3>{3, 4, 5}));
    EXPECT_EQ(o.framing, Framing::Ascii);
    EXPECT_EQ(o.sim.unit, 12);
    EXPECT_EQ(o.sim.password, PackPassword("pw"));
    EXPECT_EQ(o.sim.protectException, 21);
    EXPECT_EQ(o.sim.relockAfterSeconds, 60u);
    EXPECT_EQ(o.faults.corruptEvery, 3u);
    EXPECT_EQ(o.faults.exception, 6);
    EXPECT_EQ(o.paceBaud, 9600u);
    EXPECT_EQ(o.sim.stuck, (std::set<uint16_t>{1200, 1211}));
    EXPECT_EQ(ParseOptions({"--type", "19474"}).sim.entry, CDevType::FindModel("RB16KT5QC"));
}

TEST(DeviceSimImage, MalformedLinesNameTheirLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"1150 1\n1151\n", "img:2:"},     {"1150 1 2\n", "img:1:"},
        {"# comment\n\nx 1\n", "img:3:"}, {"70000 1\n", "img:1:"},
        {"1150 65536\n", "img:1:"},       {"1150 -32769\n", "img:1:"},
        {"1150 0x1G\n", "img:1:"},        {"1150 1\n1150 2\n", "img:2:"},
    };
    for (const auto& [text, where] : cases) {
        SCOPED_TRACE(text);
        try {
            ParseImage(text, "img");
            ADD_FAILURE() << "accepted";
        } catch (const UsageError& e) {
            EXPECT_EQ(e.message.rfind(where, 0), 0u) << e.message;
        }
    }
    EXPECT_EQ(ParseImage("1150 2 # rate\n1201 -1\n1200 0xBEEF\n", "img"),
              (RegisterImage{{1150, 2}, {1201, 0xFFFF}, {1200, 0xBEEF}}));
}

TEST(DeviceSimImage, DumpLoadsBackAsTheSameDevice) {
    TempDir dir;
    Options first = ParseOptions({"--type", "RB16T5-SQ7_2", "--firmware", "2.1.9"});
    auto device = CreateDevice(first, Clock::time_point{});
    ASSERT_TRUE(device->SetRegister(1100, 5000));
    const std::string dump = dir.File("device.txt");
    WriteFileAtomically(dump, FormatImage(*device));

    // Without --type the image names the type and the firmware.
    Options second = ParseOptions({"--image", dump});
    auto reloaded = CreateDevice(second, Clock::time_point{});
    EXPECT_STREQ(reloaded->ModelCode(), "RB16T5-SQ7_2");
    EXPECT_EQ(reloaded->Register(1100), 5000);
    EXPECT_EQ(reloaded->Register(3001), 1);
    EXPECT_EQ(reloaded->Register(3002), 9);

    Options contradicting = ParseOptions({"--image", dump, "--type", "RB16KT5_2"});
    EXPECT_THROW(CreateDevice(contradicting, Clock::time_point{}), UsageError);
    Options unmapped = ParseOptions({"--image", dir.Write("bad.txt", "2000 1\n")});
    EXPECT_THROW(CreateDevice(unmapped, Clock::time_point{}), UsageError);
    Options missing = ParseOptions({"--image", dir.File("none.txt")});
    EXPECT_THROW(CreateDevice(missing, Clock::time_point{}), UsageError);
    Options stuckOutside = ParseOptions({"--stuck", "2000"});
    EXPECT_THROW(CreateDevice(stuckOutside, Clock::time_point{}), UsageError);
}

// ---- the program ----

namespace {

// What arrives on fd until `want` bytes or the time is up.
std::string ReadFor(int fd, size_t want, int timeoutMs) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buffer[256];
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, want - got.size()));
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

}  // namespace

TEST(DeviceSimProgram, ServesRtuOnAPseudoTerminalAndCleansUpOnSigterm) {
    TempDir runtime;
    testing_support::SimProcess sim(
        {"--type", "RB16KT5QB", "--firmware", "1.4.2", "--link", "bench"}, runtime.Path().string());
    const std::string port = sim.Port();
    ASSERT_EQ(port.rfind("/dev/pts/", 0), 0u) << port;
    const std::filesystem::path link = runtime.Path() / "norvelco" / "ports" / "bench";
    EXPECT_EQ(std::filesystem::read_symlink(link), port);

    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    const auto request = modbus::RtuFrame(std::vector<uint8_t>{1, 3, 0x0B, 0xB8, 0, 4});
    ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    const std::string reply = ReadFor(fd, 13, 5000);
    close(fd);
    const std::vector<uint8_t> bytes(reply.begin(), reply.end());
    EXPECT_EQ(bytes, modbus::RtuFrame(std::vector<uint8_t>{1, 3, 8, 0, 1, 0, 4, 0, 2, 0x4B, 0x12}));

    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST(DeviceSimProgram, UsageErrorsExitWithStatus2) {
    TempDir runtime;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--frobnicate"},
          std::vector<std::string>{"--image", runtime.Write("i", "1150\n")}}) {
        testing_support::ChildProcess child(
            testing_support::ChildProcess::Program("norvelco-devsim"), args,
            {"XDG_RUNTIME_DIR=" + runtime.Path().string()});
        ASSERT_GT(child.Pid(), 0);
        EXPECT_EQ(child.Finish(10000), 2) << args[0];
        EXPECT_NE(child.err.find("usage:"), std::string::npos);
    }
}
