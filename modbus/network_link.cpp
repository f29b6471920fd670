#include "modbus/network_link.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "app/private_exception.h"
#include "concurrency/timer_thread.h"
#include "platform/trace.h"

namespace modbus {
namespace {

std::atomic<uint16_t> g_tcpTransaction{0};
std::atomic<uint16_t> g_udpTransaction{0};

constexpr size_t kMacOffsetTarget = 6;
constexpr size_t kMacOffsetSource = 12;

void TraceLine(std::string_view line) {
    if (platform::TraceEnabled()) platform::Trace(line);
}

[[noreturn]] void ThrowTcpError(const std::string& systemText) {
    throw CPrivateException(CPrivateException::Key{"mbio.tcperr"}, {systemText});
}

void PutHeader(std::vector<uint8_t>& frame, uint16_t transaction, uint16_t protocol,
               size_t pduBytes) {
    frame.push_back(static_cast<uint8_t>(transaction >> 8));
    frame.push_back(static_cast<uint8_t>(transaction & 0xFF));
    frame.push_back(static_cast<uint8_t>(protocol >> 8));
    frame.push_back(static_cast<uint8_t>(protocol & 0xFF));
    frame.push_back(0);  // a data unit never exceeds 255 bytes
    frame.push_back(static_cast<uint8_t>(pduBytes & 0xFF));
}

bool SameMac(const uint8_t* bytes, const MacAddress& mac) {
    return std::equal(mac.begin(), mac.end(), bytes);
}

// The socket of one adapter: sends from that adapter and hears unicast and broadcast answers.
// A socket bound to a unicast address would never receive a datagram sent to a broadcast
// address, so it is tied to the interface instead and bound to the wildcard address.
std::shared_ptr<platform::CSocket> AdapterSocket(const platform::InterfaceAddress& adapter) {
    auto socket = std::make_shared<platform::CSocket>();
    socket->Create(SOCK_DGRAM);
    socket->SetOption(SOL_SOCKET, SO_BROADCAST, 1);
    try {
        socket->BindToDevice(adapter.name);
        socket->Bind(platform::MakeAddress(INADDR_ANY, 0));
    } catch (const platform::CSocketError&) {
        // Without the right to tie a socket to an interface: the adapter's own address still
        // sends, and unicast answers still arrive.
        sockaddr_in own = platform::MakeAddress(INADDR_ANY, 0);
        own.sin_addr = adapter.address;
        socket->Bind(own);
    }
    return socket;
}

}  // namespace

uint16_t NextTcpTransaction() {
    return static_cast<uint16_t>(g_tcpTransaction.fetch_add(1) + 1);
}

uint16_t NextUdpTransaction() {
    return static_cast<uint16_t>(g_udpTransaction.fetch_add(1) + 1);
}

void ResetTransactionCounters() {
    g_tcpTransaction = 0;
    g_udpTransaction = 0;
}

std::vector<uint8_t> TcpFrame(uint16_t transaction, std::span<const uint8_t> pdu) {
    std::vector<uint8_t> frame;
    frame.reserve(kTcpHeaderBytes + pdu.size());
    PutHeader(frame, transaction, 0, pdu.size());
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

std::vector<uint8_t> UdpFrame(uint16_t transaction, const MacAddress& target,
                              const MacAddress& source, std::span<const uint8_t> pdu) {
    std::vector<uint8_t> frame;
    frame.reserve(kUdpHeaderBytes + pdu.size());
    PutHeader(frame, transaction, 0xFFFF, pdu.size());
    frame.insert(frame.end(), target.begin(), target.end());
    frame.insert(frame.end(), source.begin(), source.end());
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

// ---- Modbus/TCP ----

CTcpLink::CTcpLink(CObserver& observer, const std::atomic<bool>& cancel, uint32_t replyTimeoutMs)
    : m_observer(observer),
      m_cancel(cancel),
      m_configuredTimeoutMs(replyTimeoutMs),
      m_replyTimeoutMs(replyTimeoutMs) {
    ResetFrame();
}

CTcpLink::~CTcpLink() {
    Close();
}

void CTcpLink::Open(const ComSettings& settings) {
    Close();
    m_settings = settings;
    try {
        m_socket.Create(SOCK_STREAM);
    } catch (const platform::CSocketError& e) {
        ThrowTcpError(e.what());
    }
    try {
        const sockaddr_in server =
            platform::ResolveIPv4(settings.ServerAddress, settings.ServicePort, SOCK_STREAM);
        m_socket.Connect(server);
        // Each request is one small frame that waits for its reply.
        m_socket.SetOption(IPPROTO_TCP, TCP_NODELAY, 1);
    } catch (const platform::CSocketError& e) {
        m_socket.Close();
        ThrowTcpError(e.what());
    }
    m_watchdog = std::make_unique<CTimerThread>();
    m_watchdog->AddObserver(&m_observer);
}

void CTcpLink::Close() {
    // The watchdog first: once it has ended, no notification can reach the socket.
    if (m_watchdog) m_watchdog->Shutdown();
    m_watchdog.reset();
    m_socket.Close();
    ResetFrame();
}

uint16_t CTcpLink::SendRequest(std::span<const uint8_t> pdu) {
    const uint16_t transaction = NextTcpTransaction();
    // A failed send shows as a missing reply.
    const std::vector<uint8_t> frame = TcpFrame(transaction, pdu);
    if (m_socket.IsOpen()) m_socket.Send(frame);
    TapSent(frame);
    return transaction;
}

void CTcpLink::SetReplyTimeout(uint32_t, size_t) {
    m_replyTimeoutMs = m_configuredTimeoutMs;
}

void CTcpLink::ResetFrame() {
    m_frame.assign(kTcpHeaderBytes, 0);
    m_received = 0;
}

bool CTcpLink::ReadFrame() {
    for (;;) {
        // The header announces how many bytes follow it.
        const size_t need = m_received < kTcpHeaderBytes
                                ? kTcpHeaderBytes
                                : kTcpHeaderBytes + (size_t{m_frame[4]} << 8 | m_frame[5]);
        if (m_received >= need) return true;
        if (m_frame.size() < need) m_frame.resize(need, 0);
        const auto got =
            m_socket.Receive(std::span(m_frame).subspan(m_received, need - m_received));
        if (!got || *got == 0) return false;  // cancelled, failed, or the server closed
        m_received += *got;
    }
}

LinkReply CTcpLink::ReceiveReply(std::span<uint8_t> reply) {
    if (!m_socket.IsOpen()) return {};
    const bool armed = m_watchdog && m_watchdog->Arm(m_replyTimeoutMs);
    bool whole = false;
    {
        platform::CSocket::CBlockingScope scope(m_socket);
        // Inside the scope, so that a cancel either is seen here or aborts the wait.
        whole = !m_cancel && ReadFrame();
    }
    if (armed) m_watchdog->Disarm();
    TapReceived(std::span<const uint8_t>(m_frame).first(std::min(m_received, m_frame.size())));

    LinkReply got;
    const size_t payload = m_received > kTcpHeaderBytes ? m_received - kTcpHeaderBytes : 0;
    got.length = payload;
    got.transaction = static_cast<uint16_t>(m_frame[0] << 8 | m_frame[1]);
    std::copy_n(m_frame.begin() + kTcpHeaderBytes, std::min(payload, reply.size()), reply.begin());
    // Less than its header announced is never a reply, even where it has the expected size; the
    // master's next attempt reconnects.
    if (!whole && payload > 0) got.fault = LinkReply::MALFORMED;
    ResetFrame();
    return got;
}

void CTcpLink::Cancel() {
    if (m_socket.IsBlocking()) {
        TraceLine("CancelBlockingCall");
        m_socket.CancelBlockingCall();
    }
}

void CTcpLink::Recover() {
    TraceLine("Reconnect");
    Open(m_settings);
}

bool CTcpLink::IsBlocking() const {
    return m_socket.IsBlocking();
}

void CTcpLink::CancelBlockingCall() {
    m_socket.CancelBlockingCall();
}

// ---- UDP broadcast ----

CUdpLink::CUdpLink(const std::atomic<bool>& cancel, uint32_t waitMs)
    : m_cancel(cancel), m_waitMs(waitMs) {}

CUdpLink::~CUdpLink() = default;

void CUdpLink::Open(const ComSettings& settings) {
    Close();
    m_target = settings.TargetMac;
    m_source = settings.SourceMac;
}

void CUdpLink::Close() {
    m_sockets.clear();
}

uint16_t CUdpLink::SendRequest(std::span<const uint8_t> pdu) {
    const uint16_t transaction = NextUdpTransaction();
    const std::vector<uint8_t> frame = UdpFrame(transaction, m_target, m_source, pdu);
    TapSent(frame);
    // The sockets of the previous request close with whatever they still hold.
    m_sockets.clear();
    m_wakeup.Clear();
    std::vector<platform::InterfaceAddress> adapters;
    try {
        adapters = platform::EthernetInterfaceAddresses();
    } catch (const platform::CSocketError&) {
        return transaction;  // nothing goes out: the wait ends as a time-out
    }
    const sockaddr_in everyone = platform::MakeAddress(INADDR_BROADCAST, kBroadcastPort);
    for (const auto& adapter : adapters) {
        try {
            auto socket = AdapterSocket(adapter);
            socket->SendTo(frame, everyone);
            m_sockets.push_back(std::move(socket));
        } catch (const platform::CSocketError&) {
            // This adapter cannot send; the others still may.
        }
    }
    return transaction;
}

void CUdpLink::SetReplyTimeout(uint32_t, size_t) {
    // The wait for a datagram is fixed.
}

bool CUdpLink::IsDeviceReply(std::span<const uint8_t> datagram) const {
    if (datagram.size() <= kUdpHeaderBytes) return false;
    if (SameMac(datagram.data() + kMacOffsetTarget, m_target)) return false;  // a request
    return SameMac(datagram.data() + kMacOffsetSource, m_target);
}

LinkReply CUdpLink::ReceiveReply(std::span<uint8_t> reply) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_waitMs);
    std::vector<uint8_t> buffer(reply.size() + kUdpHeaderBytes);
    std::vector<pollfd> fds;
    for (const auto& socket : m_sockets) fds.push_back({socket->Handle(), POLLIN, 0});
    fds.push_back({m_wakeup.Fd(), POLLIN, 0});
    for (;;) {
        if (m_cancel) {
            TraceLine("Cancel");
            return {};
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return {};
        const int ready = poll(fds.data(), fds.size(), static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return {};
        // A wake-up without a cancel is left over from an earlier block.
        if (fds.back().revents & POLLIN) m_wakeup.Clear();
        for (size_t i = 0; i + 1 < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            // Our own broadcast echoed back and answers of other devices are passed over.
            while (const auto length = m_sockets[i]->ReceiveDatagram(buffer)) {
                const auto kept =
                    std::span<const uint8_t>(buffer).first(std::min(*length, buffer.size()));
                if (!IsDeviceReply(kept)) continue;
                TapReceived(kept);
                const size_t payload = *length - kUdpHeaderBytes;
                std::copy_n(buffer.begin() + kUdpHeaderBytes, std::min(payload, reply.size()),
                            reply.begin());
                return {payload, static_cast<uint16_t>(buffer[0] << 8 | buffer[1]),
                        LinkReply::NONE};
            }
        }
    }
}

void CUdpLink::Cancel() {
    m_wakeup.Signal();
}

}  // namespace modbus
