// norvelco-devsim: a simulated device of any catalogue type on a pseudo-terminal or on the
// network, for demos, tests and training without hardware. Run with --help for the options.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/private_exception.h"
#include "platform/text.h"
#include "tools/devsim/devsim_options.h"
#include "tools/devsim/net_server.h"
#include "tools/devsim/virtual_port.h"

namespace {

constexpr int EXIT_USAGE = 2;
volatile sig_atomic_t g_stop = 0;
sigset_t g_waitMask;  // the mask while waiting: the stop signals get through only there

void OnStopSignal(int) {
    g_stop = 1;
}

void InstallSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, s);
    // Blocked outside the waits, so that a signal can never slip in between a check and a wait.
    sigprocmask(SIG_BLOCK, &stops, &g_waitMask);
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// Waits for input on fd (or only for the time when fd < 0) until the deadline; false once a stop
// signal has come.
bool Wait(int fd, devsim::Clock::time_point deadline, bool* readable = nullptr) {
    const auto left = std::max(deadline - devsim::Clock::now(), devsim::Clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd p{fd, POLLIN, 0};
    const int n = ppoll(&p, fd >= 0 ? 1 : 0, &ts, &g_waitMask);
    if (readable) *readable = n > 0 && (p.revents & POLLIN);
    return !g_stop;
}

void LogPdu(const char* direction, std::span<const uint8_t> pdu) {
    std::string hex;
    for (uint8_t b : pdu) hex += platform::FormatC(" %02X", b);
    std::fprintf(stderr, "%s%s\n", direction, hex.c_str());
}

class CSimulator {
public:
    CSimulator(devsim::Options& options, std::unique_ptr<devsim::CDeviceSim> device)
        : m_options(options),
          m_device(std::move(device)),
          m_server(*m_device, options.framing, options.faults,
                   devsim::FrameSilence(options.paceBaud ? options.paceBaud : 38400)) {
        if (options.verbose) m_server.SetLogger(LogPdu);
    }

    int Run() {
        const std::string link = LinkPath();
        devsim::CPortLink portLink(link, m_pty.SlavePath());
        std::printf("PORT %s\nLINK %s\n", m_pty.SlavePath().c_str(), link.c_str());
        std::fflush(stdout);
        std::fprintf(stderr,
                     "norvelco-devsim: %s (type code %u), firmware %u.%u.%u, unit %u, %s%s\n",
                     m_device->ModelCode(), m_device->TypeCode(), m_options.sim.firmware[0],
                     m_options.sim.firmware[1], m_options.sim.firmware[2], m_options.sim.unit,
                     m_options.framing == devsim::Framing::Rtu ? "RTU" : "ASCII",
                     m_device->Locked() ? ", password protected" : "");
        Dump();
        while (!g_stop) {
            auto deadline = devsim::Clock::now() + std::chrono::milliseconds(250);
            if (auto d = m_server.Deadline()) deadline = std::min(deadline, *d);
            bool readable = false;
            if (!Wait(m_pty.MasterFd(), deadline, &readable)) break;
            std::vector<devsim::Frame> replies;
            if (readable) {
                uint8_t buffer[512];
                const ssize_t n = read(m_pty.MasterFd(), buffer, sizeof buffer);
                if (n > 0) {
                    ReceivedOnWire(static_cast<size_t>(n));
                    replies = m_server.Receive(std::span(buffer, static_cast<size_t>(n)),
                                               devsim::Clock::now());
                }
            }
            for (auto& r : m_server.Idle(devsim::Clock::now())) replies.push_back(std::move(r));
            for (const auto& frame : replies)
                if (!Send(frame)) break;
            if (m_device->TakeChanged()) Dump();
        }
        Dump();
        return 0;
    }

private:
    std::string LinkPath() const {
        if (!m_options.link.empty() && m_options.link.front() == '/') return m_options.link;
        const std::string folder = devsim::EnsureVirtualPortsFolder();
        if (!m_options.link.empty()) return folder + "/" + m_options.link;
        return folder + platform::FormatC("/devsim-%s-%d", m_device->ModelCode(),
                                          static_cast<int>(getpid()));
    }

    std::chrono::nanoseconds CharTime() const {
        return std::chrono::nanoseconds(11000000000ull / m_options.paceBaud);
    }

    // A pseudo-terminal delivers a request at once; on a paced line its last character arrives
    // only after the wire time of all its characters.
    void ReceivedOnWire(size_t bytes) {
        if (!m_options.paceBaud) return;
        m_requestEndsAt = std::max(m_requestEndsAt, devsim::Clock::now()) +
                          CharTime() * static_cast<int64_t>(bytes);
    }

    // False once a stop signal has come.
    bool Send(const devsim::Frame& frame) {
        if (m_options.paceBaud && !Wait(-1, m_requestEndsAt)) return false;
        auto at = devsim::Clock::now() + std::chrono::milliseconds(m_options.faults.delayMs);
        if (m_options.faults.delayMs && !Wait(-1, at)) return false;
        if (!m_options.paceBaud) return WriteAll(frame.data(), frame.size());
        // One character of 11 bits at a time, each in its own slot of wire time.
        const auto perChar = CharTime();
        at = devsim::Clock::now();
        for (uint8_t b : frame) {
            if (!WriteAll(&b, 1)) return true;
            at += perChar;
            if (!Wait(-1, at)) return false;
        }
        return true;
    }

    bool WriteAll(const uint8_t* data, size_t size) {
        bool flushed = false;
        while (size > 0) {
            const ssize_t n = write(m_pty.MasterFd(), data, size);
            if (n > 0) {
                data += n;
                size -= static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN && !flushed) {
                // Nobody reads the line: old replies are dropped as on a wire nobody listens to.
                m_pty.DiscardUnread();
                flushed = true;
            } else {
                return false;
            }
        }
        return true;
    }

    void Dump() {
        if (m_options.dump.empty()) return;
        try {
            devsim::WriteFileAtomically(m_options.dump, devsim::FormatImage(*m_device));
        } catch (const CPrivateException& e) {
            std::fprintf(stderr, "norvelco-devsim: %s\n", e.Message().c_str());
        }
    }

    devsim::Options& m_options;
    devsim::Clock::time_point m_requestEndsAt{};
    std::unique_ptr<devsim::CDeviceSim> m_device;
    devsim::CFrameServer m_server;
    devsim::CPseudoTerminal m_pty;
};

int g_stopFd = -1;  // the network server's stop descriptor, written by the signal handler

void OnNetworkStopSignal(int) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(g_stopFd, &one, sizeof one);
}

// The device on the network only: Modbus/TCP and the broadcast mode.
int RunNetwork(devsim::Options& options, std::unique_ptr<devsim::CDeviceSim> device) {
    g_stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_stopFd < 0) throw CPrivateException("eventfd: " + CMessageFormatter(errno).Text());
    struct sigaction sa {};
    sa.sa_handler = OnNetworkStopSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    devsim::CFaultyDevice faulty(*device, options.faults);
    if (options.verbose) faulty.SetLogger(LogPdu);
    devsim::CNetServer server(faulty, options.net);
    if (options.net.tcp) std::printf("TCP %s\n", server.TcpAddress().c_str());
    if (options.net.udp) std::printf("UDP %u\n", server.UdpPort());
    std::fflush(stdout);
    std::fprintf(
        stderr, "norvelco-devsim: %s (type code %u), firmware %u.%u.%u, unit %u, MAC %s%s\n",
        device->ModelCode(), device->TypeCode(), options.sim.firmware[0], options.sim.firmware[1],
        options.sim.firmware[2], options.sim.unit, MacToText(options.net.mac).c_str(),
        device->Locked() ? ", password protected" : "");
    auto dump = [&] {
        if (options.dump.empty()) return;
        try {
            devsim::WriteFileAtomically(options.dump, devsim::FormatImage(*device));
        } catch (const CPrivateException& e) {
            std::fprintf(stderr, "norvelco-devsim: %s\n", e.Message().c_str());
        }
    };
    dump();
    server.Run(g_stopFd, [&] {
        if (device->TakeChanged()) dump();
    });
    dump();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    devsim::Options options;
    std::unique_ptr<devsim::CDeviceSim> device;
    try {
        options = devsim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
        if (options.help) {
            std::fputs(devsim::UsageText(), stdout);
            return 0;
        }
        device = devsim::CreateDevice(options, devsim::Clock::now());
    } catch (const devsim::UsageError& e) {
        std::fprintf(stderr, "norvelco-devsim: %s\n%s", e.message.c_str(), devsim::UsageText());
        return EXIT_USAGE;
    }
    if (options.net.tcp || options.net.udp) {
        try {
            return RunNetwork(options, std::move(device));
        } catch (const CPrivateException& e) {
            std::fprintf(stderr, "norvelco-devsim: %s\n", e.Message().c_str());
            return 1;
        }
    }
    InstallSignals();
    try {
        CSimulator simulator(options, std::move(device));
        return simulator.Run();
    } catch (const CPrivateException& e) {
        std::fprintf(stderr, "norvelco-devsim: %s\n", e.Message().c_str());
        return 1;
    }
}
