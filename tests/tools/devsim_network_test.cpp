// The simulator on the network: its options, its broadcast-mode answers, the program serving
// Modbus/TCP on loopback, and the broadcast mode end to end between two network namespaces that
// the test makes itself, joined by virtual Ethernet pairs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/private_exception.h"
#include "modbus/modbus_interface.h"
#include "modbus/network_link.h"
#include "model/dev_types.h"
#include "platform/socket.h"
#include "platform/trace.h"
#include "test_support.h"
#include "tools/devsim/devsim_options.h"
#include "tools/devsim/net_server.h"

extern char** environ;

using namespace devsim;
using Bytes = std::vector<uint8_t>;
using testing::HasSubstr;
using testing_support::TempDir;

namespace {

const MacAddress kDeviceMac{0x02, 0x00, 0x5E, 0x10, 0x00, 0x0A};
const MacAddress kOtherMac{0x02, 0x00, 0x5E, 0x10, 0x00, 0x0B};
const MacAddress kNobodysMac{0x02, 0x00, 0x5E, 0x10, 0x00, 0x0C};
const MacAddress kOurMac{0x02, 0x00, 0x5E, 0x10, 0x00, 0x99};

std::string BinPath(const char* program) {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / program).string();
}

// A started program: its stdout as a pipe, its stderr in a file; stopped with SIGTERM.
class Child {
public:
    Child(std::vector<std::string> argv, const std::string& errFile = "/dev/null") {
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        m_out = fds[0];
    }
    ~Child() {
        Stop();
        if (m_out >= 0) close(m_out);
    }
    bool Started() const { return m_pid > 0; }
    // The next line of its output, or "" when none comes in time.
    std::string ReadLine(int timeoutMs = 10000) {
        std::string line;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (line.empty() || line.back() != '\n') {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            pollfd p{m_out, POLLIN, 0};
            char c;
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0 || read(m_out, &c, 1) != 1)
                return "";
            line += c;
        }
        return line;
    }
    // The exit status after SIGTERM; -1 when it had to be killed.
    int Stop() {
        if (m_pid <= 0) return -1;
        kill(m_pid, SIGTERM);
        int status = 0;
        for (int k = 0; k < 500 && waitpid(m_pid, &status, WNOHANG) == 0; ++k) usleep(10000);
        if (waitpid(m_pid, &status, WNOHANG) == 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            status = -1;
        }
        m_pid = -1;
        return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
};

// Runs a command to its end with no output; its exit status, -1 when it could not start.
int Run(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using testing_support::ErrorText;

}  // namespace

// ---- options and answers ----

TEST(DeviceSimNetworkOptions, NetworkOptionsAreTakenOrRefused) {
    const Options o =
        ParseOptions({"--tcp", "127.0.0.2:1600", "--split-reply", "3", "--udp", "--mac",
                      "02:AB:cd:00:00:7F", "--any-mac", "--echo-requests", "--broadcast-replies"});
    EXPECT_TRUE(o.net.tcp);
    EXPECT_EQ(o.net.tcpHost, "127.0.0.2");
    EXPECT_EQ(o.net.tcpPort, 1600);
    EXPECT_EQ(o.net.splitReply, 3u);
    EXPECT_TRUE(o.net.udp);
    EXPECT_EQ(o.net.udpPort, 502);
    EXPECT_EQ(o.net.mac, (MacAddress{0x02, 0xAB, 0xCD, 0x00, 0x00, 0x7F}));
    EXPECT_TRUE(o.net.anyMac && o.net.echoRequests && o.net.broadcastReplies);
    const Options defaults = ParseOptions({"--tcp", ":"});
    EXPECT_EQ(defaults.net.tcpHost, "127.0.0.1");
    EXPECT_EQ(ParseOptions({"--tcp", "localhost"}).net.tcpPort, kDefaultTcpPort);

    const std::vector<std::vector<std::string>> bad = {
        {"--tcp"},
        {"--tcp", "h:70000"},
        {"--tcp", "h:x"},
        {"--split-reply", "0"},
        {"--udp=1"},
        {"--udp-port", "-1"},
        {"--mac", "02:00:00:00:00"},
        {"--mac", "02:00:00:00:00:0G"},
        {"--mac", "0200.0000.0001"},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        EXPECT_THROW(ParseOptions(args), UsageError);
    }
}

TEST(DeviceSimNetwork, BroadcastModeAnswersOnlyItsOwnMacUnlessToldOtherwise) {
    CDeviceSim sim(SimConfig{}, Clock::now());
    CFaultyDevice device(sim, {});
    NetOptions net;
    net.mac = kDeviceMac;
    const Bytes pdu{1, 3, 0x0B, 0xBB, 0, 1};  // register 3003
    const Bytes request = modbus::UdpFrame(0x0102, kDeviceMac, kOurMac, pdu);

    const auto reply = BroadcastModeReply(request, net, device, Clock::now());
    ASSERT_TRUE(reply);
    Bytes expected{0x01, 0x02, 0xFF, 0xFF, 0, 5};
    expected.insert(expected.end(), kOurMac.begin(), kOurMac.end());  // back to the requester
    expected.insert(expected.end(), kDeviceMac.begin(), kDeviceMac.end());
    const uint16_t type = sim.TypeCode();
    expected.insert(expected.end(),
                    {1, 3, 2, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type & 0xFF)});
    EXPECT_EQ(*reply, expected);

    const Bytes forOther = modbus::UdpFrame(1, kOtherMac, kOurMac, pdu);
    EXPECT_FALSE(BroadcastModeReply(forOther, net, device, Clock::now()));
    Bytes notBroadcastMode = request;
    notBroadcastMode[2] = 0;
    EXPECT_FALSE(BroadcastModeReply(notBroadcastMode, net, device, Clock::now()));
    EXPECT_FALSE(BroadcastModeReply(Bytes(request.begin(), request.begin() + 18), net, device,
                                    Clock::now()));
    net.anyMac = true;
    const auto misaddressed = BroadcastModeReply(forOther, net, device, Clock::now());
    ASSERT_TRUE(misaddressed);
    EXPECT_TRUE(std::equal(kDeviceMac.begin(), kDeviceMac.end(), misaddressed->begin() + 12));
}

// ---- the program on loopback ----

TEST(DeviceSimNetworkProgram, ServesModbusTcpAndTheBroadcastModeOnLoopback) {
    testing_support::LoadEnglish();
    Child sim({BinPath("norvelco-devsim"), "--tcp", "127.0.0.1:0", "--split-reply", "4",
               "--udp-port", "0", "--mac", "02:00:5e:10:00:0a", "--type", "RB16KT5QB"});
    ASSERT_TRUE(sim.Started());
    const std::string tcp = sim.ReadLine();
    ASSERT_EQ(tcp.rfind("TCP 127.0.0.1:", 0), 0u) << tcp;
    const std::string udp = sim.ReadLine();
    ASSERT_EQ(udp.rfind("UDP ", 0), 0u) << udp;

    ComSettings s;
    s.Mode = MODE_TCP;
    s.ServerAddress = "127.0.0.1";
    s.ServicePort = tcp.substr(14, tcp.size() - 15);
    CModbusInterface master(s);
    master.SetNetworkTimeouts(2000, 300);
    master.Open();
    std::vector<uint16_t> ident(4);
    EXPECT_TRUE(master.ReadHoldingRegisters(3000, 4, ident));
    const uint16_t type = CDevType::Entry(CDevType::FindModel("RB16KT5QB")).typeCode;
    EXPECT_EQ(ident[3], type);
    master.Close();

    // A broadcast-mode request sent straight to its port on loopback.
    platform::CSocket socket;
    socket.Create(SOCK_DGRAM);
    const Bytes request = modbus::UdpFrame(9, kDeviceMac, kOurMac, Bytes{1, 3, 0x0B, 0xBB, 0, 1});
    const auto to =
        platform::MakeAddress(INADDR_LOOPBACK, static_cast<uint16_t>(std::stoi(udp.substr(4))));
    ASSERT_TRUE(socket.SendTo(request, to));
    pollfd p{socket.Handle(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    Bytes reply(64);
    const auto length = socket.ReceiveDatagram(reply);
    ASSERT_EQ(length, std::optional<size_t>(23));
    EXPECT_EQ(reply[1], 9);
    EXPECT_TRUE(std::equal(kDeviceMac.begin(), kDeviceMac.end(), reply.begin() + 12));
    EXPECT_EQ(reply[21] << 8 | reply[22], type);
    EXPECT_EQ(sim.Stop(), 0);
}

// ---- the broadcast mode between two network namespaces ----

namespace {

// Two namespaces, one for the master and one for the devices, joined by two virtual Ethernet
// pairs: the master has two adapters. Removed again with the object, whatever happened.
class NamespaceLab {
public:
    NamespaceLab() {
        const std::string id = std::to_string(getpid());
        master = "norvelco-m" + id;
        devices = "norvelco-d" + id;
    }
    ~NamespaceLab() {
        for (const auto& ns : m_made) Run({"ip", "netns", "delete", ns});
    }

    // Empty when ready; otherwise why it cannot be made here.
    std::string Make() {
        if (geteuid() != 0) return "network namespaces need root";
        if (Run({"ip", "-V"}) != 0) return "the ip command (iproute2) is missing";
        for (const auto& ns : {master, devices}) {
            if (Run({"ip", "netns", "add", ns}) != 0) return "ip netns add is denied here";
            m_made.push_back(ns);
        }
        const std::vector<std::vector<std::string>> steps = {
            {"ip", "-n", master, "link", "add", "m0", "type", "veth", "peer", "name", "d0", "netns",
             devices},
            {"ip", "-n", master, "link", "add", "m1", "type", "veth", "peer", "name", "d1", "netns",
             devices},
            {"ip", "-n", master, "addr", "add", "10.231.0.1/24", "dev", "m0"},
            {"ip", "-n", master, "addr", "add", "10.231.1.1/24", "dev", "m1"},
            {"ip", "-n", devices, "addr", "add", "10.231.0.2/24", "dev", "d0"},
            {"ip", "-n", devices, "addr", "add", "10.231.1.2/24", "dev", "d1"},
            {"ip", "-n", master, "link", "set", "lo", "up"},
            {"ip", "-n", devices, "link", "set", "lo", "up"},
            {"ip", "-n", master, "link", "set", "m0", "up"},
            {"ip", "-n", master, "link", "set", "m1", "up"},
            {"ip", "-n", devices, "link", "set", "d0", "up"},
            {"ip", "-n", devices, "link", "set", "d1", "up"},
        };
        for (const auto& step : steps)
            if (Run(step) != 0) return "cannot set up the virtual Ethernet pairs";
        return "";
    }

    // Runs work on a thread inside the master's namespace; false when it cannot enter it.
    bool InMaster(const std::function<void()>& work) {
        bool entered = false;
        std::thread t([&] {
            const int fd = open(("/run/netns/" + master).c_str(), O_RDONLY | O_CLOEXEC);
            entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
            if (fd >= 0) close(fd);
            if (entered) work();
        });
        t.join();
        return entered;
    }

    std::string master, devices;

private:
    std::vector<std::string> m_made;
};

size_t CountLines(const std::string& file, const std::string& prefix) {
    std::ifstream in(file);
    size_t n = 0;
    for (std::string line; std::getline(in, line);) n += line.rfind(prefix, 0) == 0;
    return n;
}

}  // namespace

TEST(BroadcastModeInNamespaces, ReachesTheDeviceByMacOnEveryAdapter) {
    NamespaceLab lab;
    if (const std::string why = lab.Make(); !why.empty()) GTEST_SKIP() << why;
    testing_support::LoadEnglish();
    TempDir dir;
    const std::string deviceLog = dir.File("device.log");
    // Our device answers late and by broadcast, after echoing each request back as a repeater
    // would; a misaddressed device answers every request at once with its own MAC.
    Child device({"ip", "netns", "exec", lab.devices, BinPath("norvelco-devsim"), "--udp", "--mac",
                  MacToText(kDeviceMac), "--echo-requests", "--broadcast-replies", "--delay-ms",
                  "100", "--verbose"},
                 deviceLog);
    Child foreign({"ip", "netns", "exec", lab.devices, BinPath("norvelco-devsim"), "--udp", "--mac",
                   MacToText(kOtherMac), "--any-mac"});
    ASSERT_EQ(device.ReadLine(), "UDP 502\n");
    ASSERT_EQ(foreign.ReadLine(), "UDP 502\n");

    std::mutex traceMutex;
    std::vector<std::string> trace;
    platform::SetTraceSink([&](std::string_view line) {
        std::lock_guard lock(traceMutex);
        trace.emplace_back(line);
    });
    const bool entered = lab.InMaster([&] {
        // The pairs carry traffic once both ends are up.
        for (int k = 0; k < 200 && platform::EthernetInterfaceAddresses().size() < 2; ++k)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(platform::EthernetInterfaceAddresses().size(), 2u);

        ComSettings s;
        s.Mode = MODE_UDP_BROADCAST;
        s.TargetMac = kDeviceMac;
        s.SourceMac = kOurMac;
        CModbusInterface master(s);
        master.SetNetworkTimeouts(modbus::kNetworkReplyTimeoutMs, 600);
        master.Open();
        std::vector<uint16_t> ident(4);
        EXPECT_TRUE(master.ReadHoldingRegisters(3000, 4, ident));
        EXPECT_EQ(ident, (std::vector<uint16_t>{1, 0, 0, 20242}));
        const std::vector<uint16_t> rate{2};
        EXPECT_TRUE(master.WriteMultipleRegisters(1150, 1, rate));
        std::vector<uint16_t> back(1);
        EXPECT_TRUE(master.ReadHoldingRegisters(1150, 1, back));
        EXPECT_EQ(back[0], 2);

        // Only the misaddressed device answers: its replies are passed over.
        s.TargetMac = kNobodysMac;
        master.SetSettings(s);
        master.SetNetworkTimeouts(modbus::kNetworkReplyTimeoutMs, 200);
        master.Open();
        EXPECT_THAT(ErrorText([&] { master.ReadHoldingRegisters(3003, 1, back); }),
                    HasSubstr(g_resources.GetMessageText("mbio.timeout")));

        // Cancel ends the wait at once, without further attempts.
        master.SetNetworkTimeouts(modbus::kNetworkReplyTimeoutMs, 3000);
        master.Open();
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            master.Cancel();
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ErrorText([&] { master.ReadHoldingRegisters(3003, 1, back); }), "");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
        canceller.join();
        master.Close();
    });
    platform::SetTraceSink({});
    ASSERT_TRUE(entered) << "cannot enter the namespace";
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "Cancel"), 1);

    EXPECT_EQ(device.Stop(), 0);
    EXPECT_EQ(foreign.Stop(), 0);
    // Each of the three exchanges went out once per adapter.
    EXPECT_EQ(CountLines(deviceLog, "<-"), 6u);
}
