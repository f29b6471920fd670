// The Modbus/TCP transport on loopback: the socket layer's cancellable waits, the frame on the
// wire, reassembly of split replies, the reply watchdog, Cancel, connection failures, and our
// master against the simulator's server and against an independent libmodbus server.
#include "modbus/network_link.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <modbus.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/private_exception.h"
#include "modbus/modbus_interface.h"
#include "platform/socket.h"
#include "platform/trace.h"
#include "test_support.h"
#include "tools/devsim/net_server.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using testing::HasSubstr;

// A loopback listener on a free port.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = platform::MakeAddress(INADDR_LOOPBACK, 0);
        socklen_t size = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), size) != 0 || listen(fd, 4) != 0) return;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
        port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
};

bool ReadExactly(int fd, uint8_t* data, size_t n) {
    while (n > 0) {
        const ssize_t got = recv(fd, data, n, 0);
        if (got <= 0) return false;
        data += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

// A Modbus/TCP peer that records each request frame and answers as the test's script says:
// a list of byte runs, each sent after its pause, the last maybe closing the connection. An empty
// list answers nothing. It takes one connection after another; requests are counted across them.
class ScriptedPeer {
public:
    struct Send {
        int pauseMs = 0;
        Bytes bytes;
        bool close = false;  // the server dies after these bytes
    };
    using Script = std::function<std::vector<Send>(const Bytes& request, size_t index)>;

    explicit ScriptedPeer(Script script, bool closeAfterFirst = false)
        : m_script(std::move(script)), m_closeAfterFirst(closeAfterFirst) {
        m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedPeer() {
        m_stop = true;
        shutdown(m_listener.fd, SHUT_RDWR);
        {
            // The serving thread sets the client: it is read here only under the lock.
            std::lock_guard lock(m_mutex);
            if (m_client >= 0) shutdown(m_client, SHUT_RDWR);
        }
        m_thread.join();
    }
    uint16_t Port() const { return m_listener.port; }
    std::vector<Bytes> Requests() {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    int Connections() {
        std::lock_guard lock(m_mutex);
        return m_connections;
    }

private:
    void Serve() {
        size_t index = 0;
        while (!m_stop) {
            const int client = accept(m_listener.fd, nullptr, nullptr);
            if (client < 0) return;
            {
                std::lock_guard lock(m_mutex);
                m_client = client;
                ++m_connections;
            }
            ServeConnection(client, index);
            std::lock_guard lock(m_mutex);
            close(client);
            m_client = -1;
        }
    }

    void ServeConnection(int client, size_t& index) {
        for (; !m_stop; ++index) {
            Bytes request(6);
            if (!ReadExactly(client, request.data(), 6)) return;
            request.resize(6 + request[5]);
            if (!ReadExactly(client, request.data() + 6, request[5])) return;
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(request);
            }
            if (m_closeAfterFirst) {
                ++index;
                return;
            }
            for (const Send& s : m_script(request, index)) {
                if (s.pauseMs) std::this_thread::sleep_for(std::chrono::milliseconds(s.pauseMs));
                if (send(client, s.bytes.data(), s.bytes.size(), MSG_NOSIGNAL) < 0) return;
                if (s.close) {
                    ++index;
                    return;
                }
            }
        }
    }

    Listener m_listener;
    Script m_script;
    bool m_closeAfterFirst;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    int m_client = -1;
    int m_connections = 0;
    std::vector<Bytes> m_requests;
    std::thread m_thread;
};

// The answer a device gives to a read of n registers: values 1..n.
Bytes ReadReply(const Bytes& request) {
    const uint8_t n = request[11];
    Bytes pdu{request[6], 3, static_cast<uint8_t>(2 * n)};
    for (uint8_t k = 1; k <= n; ++k) pdu.insert(pdu.end(), {0, k});
    Bytes frame = modbus::TcpFrame(static_cast<uint16_t>(request[0] << 8 | request[1]), pdu);
    return frame;
}

// The simulator's network server on a thread of this process.
class SimServer {
public:
    explicit SimServer(devsim::FaultConfig faults = {}, uint32_t splitReply = 1)
        : m_device(devsim::SimConfig{}, devsim::Clock::now()), m_faulty(m_device, faults) {
        devsim::NetOptions net;
        net.tcp = true;
        net.tcpPort = 0;
        net.splitReply = splitReply;
        m_server = std::make_unique<devsim::CNetServer>(m_faulty, net);
        m_stop = eventfd(0, EFD_CLOEXEC);
        m_thread = std::thread([this] { m_server->Run(m_stop); });
    }
    ~SimServer() {
        const uint64_t one = 1;
        EXPECT_EQ(write(m_stop, &one, sizeof one), 8);
        m_thread.join();
        close(m_stop);
    }
    uint16_t Port() const { return m_server->TcpPort(); }
    devsim::CDeviceSim& Device() { return m_device; }

private:
    devsim::CDeviceSim m_device;
    devsim::CFaultyDevice m_faulty;
    std::unique_ptr<devsim::CNetServer> m_server;
    int m_stop = -1;
    std::thread m_thread;
};

ComSettings TcpSettings(uint16_t port) {
    ComSettings s;
    s.Mode = MODE_TCP;
    s.ServerAddress = "127.0.0.1";
    s.ServicePort = std::to_string(port);
    return s;
}

using testing_support::ErrorText;

std::string Text(const char* key) {
    return g_resources.GetMessageText(key);
}

class TcpMaster : public testing::Test {
protected:
    void SetUp() override {
        testing_support::LoadEnglish();
        platform::SetTraceSink([this](std::string_view line) {
            std::lock_guard lock(m_traceMutex);
            m_trace.emplace_back(line);
        });
    }
    void TearDown() override { platform::SetTraceSink({}); }

    std::vector<std::string> Trace() {
        std::lock_guard lock(m_traceMutex);
        return m_trace;
    }

    // A master on the port whose watchdog fires after watchdogMs.
    std::unique_ptr<CModbusInterface> Master(uint16_t port, uint32_t watchdogMs = 300) {
        auto m = std::make_unique<CModbusInterface>(TcpSettings(port));
        m->SetNetworkTimeouts(watchdogMs, 300);
        return m;
    }

private:
    std::mutex m_traceMutex;
    std::vector<std::string> m_trace;
};

}  // namespace

// ---- the socket layer ----

TEST(PlatformSocket, CancelAbortsOnlyTheWaitingCallAndTheSocketStaysUsable) {
    Listener listener;
    platform::CSocket socket;
    socket.Create(SOCK_STREAM);
    socket.Connect(platform::MakeAddress(INADDR_LOOPBACK, listener.port));
    const int peer = accept(listener.fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);

    // Nothing waits: a cancel changes nothing, and the next call is not aborted by it.
    EXPECT_FALSE(socket.IsBlocking());
    socket.CancelBlockingCall();
    ASSERT_EQ(send(peer, "a", 1, 0), 1);
    uint8_t buffer[8];
    EXPECT_EQ(socket.Receive(buffer), std::optional<size_t>(1));

    std::optional<size_t> got = 99;
    std::thread waiter([&] { got = socket.Receive(buffer); });
    while (!socket.IsBlocking()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    socket.CancelBlockingCall();
    waiter.join();
    EXPECT_EQ(got, std::nullopt);
    EXPECT_FALSE(socket.IsBlocking());

    ASSERT_EQ(send(peer, "bc", 2, 0), 2);
    EXPECT_EQ(socket.Receive(buffer), std::optional<size_t>(2));
    close(peer);
    EXPECT_EQ(socket.Receive(buffer), std::optional<size_t>(0)) << "peer closed";
}

TEST(PlatformSocket, ErrorsCarryTheSystemText) {
    try {
        platform::ResolveIPv4("127.0.0.1", "no-such-service-here", SOCK_STREAM);
        ADD_FAILURE() << "resolved";
    } catch (const platform::CSocketError& e) {
        EXPECT_EQ(e.GetKind(), platform::CSocketError::RESOLUTION);
        EXPECT_EQ(std::string(e.what()), CMessageFormatter::FromAddrInfo(e.Code()).Text());
    }
    EXPECT_EQ(ntohs(platform::ResolveIPv4("127.0.0.1", "502", SOCK_STREAM).sin_port), 502);
    // Only Ethernet-type adapters qualify; the loopback interface never does.
    for (const auto& a : platform::EthernetInterfaceAddresses()) EXPECT_NE(a.name, "lo");
}

// ---- framing and counters ----

TEST(NetworkFrames, HeadersAndProcessWideCounters) {
    const Bytes pdu{1, 3, 0, 0, 0, 10};
    EXPECT_EQ(modbus::TcpFrame(0x1234, pdu), (Bytes{0x12, 0x34, 0, 0, 0, 6, 1, 3, 0, 0, 0, 10}));
    const MacAddress target{1, 2, 3, 4, 5, 6}, source{0xA, 0xB, 0xC, 0xD, 0xE, 0xF};
    EXPECT_EQ(modbus::UdpFrame(7, target, source, pdu),
              (Bytes{0,   7,   0xFF, 0xFF, 0,   6,   1, 2, 3, 4, 5, 6,
                     0xA, 0xB, 0xC,  0xD,  0xE, 0xF, 1, 3, 0, 0, 0, 10}));

    modbus::ResetTransactionCounters();
    EXPECT_EQ(modbus::NextTcpTransaction(), 1);
    EXPECT_EQ(modbus::NextUdpTransaction(), 1) << "each mode counts on its own";
    for (int k = 2; k <= 65535; ++k) modbus::NextTcpTransaction();
    EXPECT_EQ(modbus::NextTcpTransaction(), 0) << "the 65536th request wraps";
    modbus::ResetTransactionCounters();
}

// ---- the master over Modbus/TCP ----

TEST_F(TcpMaster, FirstRequestOfTheProcessGoesOutWithTransactionOne) {
    ScriptedPeer peer([](const Bytes& request, size_t) {
        return std::vector<ScriptedPeer::Send>{{0, ReadReply(request)}};
    });
    modbus::ResetTransactionCounters();  // as in a fresh process
    auto m = Master(peer.Port());
    m->Open();
    std::vector<uint16_t> out(10);
    EXPECT_TRUE(m->ReadHoldingRegisters(0, 10, out));
    EXPECT_TRUE(m->ReadHoldingRegisters(0, 1, out));
    m->Close();
    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], (Bytes{0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 0x0A}));
    EXPECT_EQ(requests[1][1], 2);
    EXPECT_EQ(out[0], 1);
}

TEST_F(TcpMaster, ReadsAndWritesTheSimulatedDeviceWholeOrSplit) {
    for (uint32_t segments : {1u, 5u}) {
        SCOPED_TRACE(segments);
        SimServer server({}, segments);
        auto m = Master(server.Port());
        m->Open();
        std::vector<uint16_t> ident(4);
        EXPECT_TRUE(m->ReadHoldingRegisters(3000, 4, ident));
        EXPECT_EQ(ident, (std::vector<uint16_t>{1, 0, 0, server.Device().TypeCode()}));
        const std::vector<uint16_t> rate{2};
        EXPECT_TRUE(m->WriteMultipleRegisters(1150, 1, rate));
        std::vector<uint16_t> back(1);
        EXPECT_TRUE(m->ReadHoldingRegisters(1150, 1, back));
        EXPECT_EQ(back[0], 2);
        m->Close();
    }
}

TEST_F(TcpMaster, RepliesThatAreNotWholeAreTimeoutsOrInvalid) {
    struct Case {
        const char* name;
        std::function<Bytes(const Bytes&)> reply;
        const char* firstFailure;  // the trace line of the attempt that got the reply
    };
    const Case cases[] = {
        // Only the header arrives; what it announces never follows.
        {"header only",
         [](const Bytes& r) {
             Bytes f = ReadReply(r);
             f.resize(6);
             return f;
         },
         "Timeout"},
        {"empty frame", [](const Bytes& r) { return Bytes{r[0], r[1], 0, 0, 0, 0}; }, "Timeout"},
        {"one register short",
         [](const Bytes& r) {
             Bytes f = ReadReply(r);
             f[5] -= 2;
             f.resize(f.size() - 2);
             return f;
         },
         "Invalid response"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer([&](const Bytes& request, size_t index) {
            if (index > 0) return std::vector<ScriptedPeer::Send>{};
            return std::vector<ScriptedPeer::Send>{{0, c.reply(request)}};
        });
        const size_t before = Trace().size();
        auto m = Master(peer.Port(), 100);
        m->Open();
        std::vector<uint16_t> out(2);
        EXPECT_THAT(ErrorText([&] { m->ReadHoldingRegisters(0, 2, out); }),
                    HasSubstr(Text("mbio.timeout")));
        m->Close();
        const auto trace = Trace();
        ASSERT_GE(trace.size(), before + 2);
        EXPECT_EQ(trace[before + 1], c.firstFailure);
    }
}

// A late reply is cut off by the watchdog; the next attempt starts on a fresh connection, where
// the stale reply can never be taken for its answer.
TEST_F(TcpMaster, LateReplyIsCutOffAndTheNextAttemptStartsOnAFreshConnection) {
    ScriptedPeer peer([](const Bytes& request, size_t index) {
        return std::vector<ScriptedPeer::Send>{{index == 0 ? 600 : 0, ReadReply(request)}};
    });
    auto m = Master(peer.Port(), 400);
    m->Open();
    std::vector<uint16_t> out(3);
    EXPECT_EQ(ErrorText([&] { m->ReadHoldingRegisters(0, 3, out); }), "(no error)");
    EXPECT_EQ(out, (std::vector<uint16_t>{1, 2, 3}));
    m->Close();
    EXPECT_EQ(peer.Requests().size(), 2u);
    EXPECT_EQ(peer.Connections(), 2);
    const auto trace = Trace();
    EXPECT_EQ(std::vector<std::string>(trace.begin() + 1, trace.end()),
              (std::vector<std::string>{"Timeout", "Reconnect"}));
}

// Replies that would misplace every later one in the stream: the attempt after them reconnects
// and gets its own answer.
TEST_F(TcpMaster, WrongLengthOrCutOffReplyIsFollowedByAFreshConnection) {
    struct Case {
        const char* name;
        std::function<std::vector<ScriptedPeer::Send>(const Bytes&)> first;
    };
    const Case cases[] = {
        {"length field two too long",
         [](const Bytes& r) {
             Bytes f = ReadReply(r);
             f[5] += 2;
             return std::vector<ScriptedPeer::Send>{{0, f}};
         }},
        {"length field two too short",
         [](const Bytes& r) {
             Bytes f = ReadReply(r);
             f[5] -= 2;
             return std::vector<ScriptedPeer::Send>{{0, f}};
         }},
        {"cut off by a dying server",
         [](const Bytes& r) {
             Bytes f = ReadReply(r);
             f.resize(f.size() - 3);
             return std::vector<ScriptedPeer::Send>{{0, f, true}};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer([&](const Bytes& request, size_t index) {
            return index == 0 ? c.first(request)
                              : std::vector<ScriptedPeer::Send>{{0, ReadReply(request)}};
        });
        auto m = Master(peer.Port(), 200);
        m->Open();
        std::vector<uint16_t> out(2);
        EXPECT_EQ(ErrorText([&] { m->ReadHoldingRegisters(0, 2, out); }), "(no error)");
        EXPECT_EQ(out, (std::vector<uint16_t>{1, 2}));
        // The block after it finds the stream in place too.
        EXPECT_EQ(ErrorText([&] { m->ReadHoldingRegisters(0, 2, out); }), "(no error)");
        m->Close();
        EXPECT_EQ(peer.Connections(), 2);
    }
}

TEST_F(TcpMaster, CancelFromAnotherThreadEndsTheWaitAtOnce) {
    ScriptedPeer silent([](const Bytes&, size_t) { return std::vector<ScriptedPeer::Send>{}; });
    auto m = Master(silent.Port(), modbus::kNetworkReplyTimeoutMs);
    m->Open();
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        m->Cancel();
    });
    std::vector<uint16_t> out(1);
    const auto start = Clock::now();
    EXPECT_EQ(ErrorText([&] { m->ReadHoldingRegisters(3003, 1, out); }), "");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << "well before the watchdog";
    canceller.join();
    m->Close();
    EXPECT_EQ(silent.Requests().size(), 1u) << "no further attempt";
    const auto trace = Trace();
    EXPECT_NE(std::find(trace.begin(), trace.end(), "CancelBlockingCall"), trace.end());
}

TEST_F(TcpMaster, ClosedConnectionIsATimeoutOnEveryAttempt) {
    ScriptedPeer closing([](const Bytes&, size_t) { return std::vector<ScriptedPeer::Send>{}; },
                         true);
    auto m = Master(closing.Port(), modbus::kNetworkReplyTimeoutMs);
    m->Open();
    std::vector<uint16_t> out(1);
    const auto start = Clock::now();
    EXPECT_THAT(ErrorText([&] { m->ReadHoldingRegisters(0, 1, out); }),
                HasSubstr(Text("mbio.timeout")));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << "no watchdog wait on a closed line";
    m->Close();
}

TEST_F(TcpMaster, ConnectionFailuresAreTcpErrorsWithTheSystemText) {
    uint16_t unused = 0;
    {
        Listener closed;  // a port that nobody listens on once it is closed
        unused = closed.port;
    }
    struct Case {
        const char* name;
        std::string service;
        std::string reason;
    };
    const Case cases[] = {
        {"refused", std::to_string(unused), CMessageFormatter(ECONNREFUSED).Text()},
        {"unknown service", "no-such-service-here",
         CMessageFormatter::FromAddrInfo(EAI_SERVICE).Text()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ComSettings s = TcpSettings(0);
        s.ServicePort = c.service;
        CModbusInterface m(s);
        const std::string message = ErrorText([&] { m.Open(); });
        EXPECT_EQ(message,
                  CPrivateException(CPrivateException::Key{"mbio.tcperr"}, {c.reason}).Message());
        m.Close();  // harmless after a failed Open
    }
}

// ---- an independent server ----

namespace {

// A libmodbus Modbus/TCP server on loopback, one client, on a thread of its own.
class LibmodbusServer {
public:
    LibmodbusServer() {
        m_ctx = modbus_new_tcp("127.0.0.1", 0);
        m_map = modbus_mapping_new(0, 0, 200, 0);
        m_listen = modbus_tcp_listen(m_ctx, 1);
        sockaddr_in a{};
        socklen_t size = sizeof a;
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &size);
        m_port = ntohs(a.sin_port);
        for (int k = 0; k < 200; ++k) m_map->tab_registers[k] = static_cast<uint16_t>(1000 + k);
        m_thread = std::thread([this] { Serve(); });
    }
    ~LibmodbusServer() {
        shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        close(m_listen);
        modbus_mapping_free(m_map);
        modbus_free(m_ctx);
    }
    uint16_t Port() const { return m_port; }
    uint16_t Register(int k) const { return m_map->tab_registers[k]; }

private:
    void Serve() {
        if (modbus_tcp_accept(m_ctx, &m_listen) < 0) return;
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            const int n = modbus_receive(m_ctx, query);
            if (n < 0) break;
            if (n > 0) modbus_reply(m_ctx, query, n, m_map);
        }
        modbus_close(m_ctx);
    }

    modbus_t* m_ctx = nullptr;
    modbus_mapping_t* m_map = nullptr;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
};

}  // namespace

TEST_F(TcpMaster, ReadsAndWritesALibmodbusServer) {
    LibmodbusServer server;
    auto m = Master(server.Port());
    m->Open();
    std::vector<uint16_t> out(125);
    EXPECT_TRUE(m->ReadHoldingRegisters(10, 125, out));
    EXPECT_EQ(out[0], 1010);
    EXPECT_EQ(out[124], 1134);
    const std::vector<uint16_t> values{0xBEEF, 0, 65535};
    EXPECT_TRUE(m->WriteMultipleRegisters(150, 3, values));
    m->Close();  // the server sees the connection end and stops
    EXPECT_EQ(server.Register(150), 0xBEEF);
    EXPECT_EQ(server.Register(152), 65535);
}
