#include "tools/devsim/net_server.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "app/private_exception.h"
#include "platform/socket.h"

namespace devsim {
namespace {

constexpr size_t kTcpHeader = 6;
constexpr size_t kUdpHeader = 18;
constexpr size_t kMaxRequest = 512;     // longer than any request a master may send
constexpr uint32_t kSegmentGapMs = 20;  // keeps the segments of a split reply apart on the wire
constexpr int kTickMs = 250;

[[noreturn]] void Fail(const std::string& what, int error) {
    throw CPrivateException(what + ": " + CMessageFormatter(error).Text());
}

int OpenSocket(int type, const sockaddr_in& address) {
    const int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail(platform::AddressText(address), errno);
    const int on = 1;
    // Several simulated devices may share the broadcast port of one network.
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (type == SOCK_DGRAM) {
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (type == SOCK_STREAM && listen(fd, 8) != 0)) {
        const int error = errno;
        close(fd);
        Fail(platform::AddressText(address), error);
    }
    return fd;
}

sockaddr_in BoundAddress(int fd) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return address;
}

Frame TcpReply(std::span<const uint8_t> request, const Frame& pdu) {
    Frame frame(request.begin(), request.begin() + 4);  // transaction and protocol as asked
    frame.push_back(static_cast<uint8_t>(pdu.size() >> 8));
    frame.push_back(static_cast<uint8_t>(pdu.size() & 0xFF));
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

}  // namespace

std::optional<Frame> BroadcastModeReply(std::span<const uint8_t> request, const NetOptions& net,
                                        CFaultyDevice& device, Clock::time_point now) {
    if (request.size() <= kUdpHeader || request[2] != 0xFF || request[3] != 0xFF)
        return std::nullopt;
    const auto target = request.subspan(6, 6);
    if (!net.anyMac && !std::equal(target.begin(), target.end(), net.mac.begin()))
        return std::nullopt;
    auto reply = device.Answer(request.subspan(kUdpHeader), now);
    if (!reply) return std::nullopt;
    Frame frame;
    frame.reserve(kUdpHeader + reply->pdu.size());
    frame.assign(request.begin(), request.begin() + 4);
    frame.push_back(0);
    frame.push_back(static_cast<uint8_t>(reply->pdu.size() & 0xFF));
    for (size_t i = 12; i < 18; ++i) frame.push_back(request[i]);  // the requester
    for (uint8_t b : net.mac) frame.push_back(b);
    frame.insert(frame.end(), reply->pdu.begin(), reply->pdu.end());
    return frame;
}

CNetServer::CNetServer(CFaultyDevice& device, const NetOptions& options)
    : m_device(device), m_options(options) {
    try {
        if (options.tcp) {
            const sockaddr_in address = platform::ResolveIPv4(
                options.tcpHost, std::to_string(options.tcpPort), SOCK_STREAM);
            m_listen = OpenSocket(SOCK_STREAM, address);
            m_tcpAddress = BoundAddress(m_listen);
        }
        if (options.udp)
            m_udp = OpenSocket(SOCK_DGRAM, platform::MakeAddress(INADDR_ANY, options.udpPort));
    } catch (const platform::CSocketError& e) {
        if (m_listen >= 0) close(m_listen);
        throw CPrivateException(options.tcpHost + ": " + e.what());
    } catch (...) {
        if (m_listen >= 0) close(m_listen);
        throw;
    }
}

CNetServer::~CNetServer() {
    for (const Client& c : m_clients) close(c.fd);
    if (m_listen >= 0) close(m_listen);
    if (m_udp >= 0) close(m_udp);
}

std::string CNetServer::TcpAddress() const {
    return platform::AddressText(m_tcpAddress);
}

uint16_t CNetServer::TcpPort() const {
    return ntohs(m_tcpAddress.sin_port);
}

uint16_t CNetServer::UdpPort() const {
    return m_udp >= 0 ? ntohs(BoundAddress(m_udp).sin_port) : 0;
}

void CNetServer::Run(int stopFd, const std::function<void()>& afterRound) {
    m_stopFd = stopFd;
    while (!m_stopping) {
        std::vector<pollfd> fds = {{stopFd, POLLIN, 0}, {m_listen, POLLIN, 0}, {m_udp, POLLIN, 0}};
        for (const Client& c : m_clients) fds.push_back({c.fd, POLLIN, 0});
        const int n = poll(fds.data(), fds.size(), kTickMs);
        if (n < 0 && errno != EINTR) break;
        if (n > 0 && (fds[0].revents & POLLIN)) break;
        m_device.Device().Tick(Clock::now());
        if (n > 0 && (fds[1].revents & POLLIN)) {
            const int fd = accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                const int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                m_clients.push_back({fd, {}});
            }
        }
        if (n > 0 && (fds[2].revents & POLLIN)) ServeDatagram();
        // Clients accepted in this round have no entry yet; they are polled from the next.
        for (size_t i = 3, k = 0; i < fds.size() && !m_stopping; ++i, ++k) {
            if (!fds[i].revents) continue;
            if (!ServeClient(m_clients[k])) {
                close(m_clients[k].fd);
                m_clients[k].fd = -1;
            }
        }
        std::erase_if(m_clients, [](const Client& c) { return c.fd < 0; });
        if (afterRound) afterRound();
    }
}

bool CNetServer::ServeClient(Client& client) {
    uint8_t chunk[512];
    const ssize_t n = recv(client.fd, chunk, sizeof chunk, 0);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0) return false;
    client.buffer.insert(client.buffer.end(), chunk, chunk + n);
    while (client.buffer.size() >= kTcpHeader && !m_stopping) {
        const size_t length = size_t{client.buffer[4]} << 8 | client.buffer[5];
        // No request is that long or empty: the stream is not Modbus/TCP.
        if (length == 0 || length > kMaxRequest) return false;
        if (client.buffer.size() < kTcpHeader + length) break;
        const Frame request(
            client.buffer.begin(),
            client.buffer.begin() + static_cast<std::ptrdiff_t>(kTcpHeader + length));
        client.buffer.erase(client.buffer.begin(),
                            client.buffer.begin() + static_cast<std::ptrdiff_t>(request.size()));
        auto reply = m_device.Answer(std::span(request).subspan(kTcpHeader), Clock::now());
        if (!reply) continue;
        if (!Pause(m_device.Faults().delayMs)) return true;
        if (!SendStream(client.fd, TcpReply(request, reply->pdu))) return false;
    }
    return true;
}

bool CNetServer::SendStream(int fd, std::span<const uint8_t> frame) {
    const size_t segments = std::min<size_t>(m_options.splitReply, frame.size());
    for (size_t k = 0, sent = 0; k < segments; ++k) {
        const size_t end = frame.size() * (k + 1) / segments;
        if (k > 0 && !Pause(kSegmentGapMs)) return true;
        if (!WriteAll(fd, frame.subspan(sent, end - sent))) return false;
        sent = end;
    }
    return true;
}

void CNetServer::ServeDatagram() {
    uint8_t buffer[2048];
    for (;;) {
        sockaddr_in sender{};
        iovec data{buffer, sizeof buffer};
        alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(in_pktinfo))];
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(m_udp, &message, 0);
        if (n < 0) return;
        // The interface the request came in on: the answer leaves by the same one, which a
        // broadcast answer needs, since the limited broadcast address has no route of its own.
        int interfaceIndex = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
                interfaceIndex = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(c))->ipi_ifindex;

        const std::span<const uint8_t> request(buffer, static_cast<size_t>(n));
        auto reply = BroadcastModeReply(request, m_options, m_device, Clock::now());
        if (!reply) continue;
        if (m_options.echoRequests) SendDatagram(request, sender, interfaceIndex);
        if (!Pause(m_device.Faults().delayMs)) return;
        sockaddr_in to = sender;
        if (m_options.broadcastReplies) to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        SendDatagram(*reply, to, interfaceIndex);
    }
}

void CNetServer::SendDatagram(std::span<const uint8_t> datagram, const sockaddr_in& to,
                              int interfaceIndex) {
    iovec data{const_cast<uint8_t*>(datagram.data()), datagram.size()};
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_name = const_cast<sockaddr_in*>(&to);
    message.msg_namelen = sizeof to;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    if (interfaceIndex > 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = interfaceIndex;
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    sendmsg(m_udp, &message, MSG_NOSIGNAL);
}

bool CNetServer::Pause(uint32_t ms) {
    if (ms == 0) return !m_stopping;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!m_stopping) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{m_stopFd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) > 0 && (p.revents & POLLIN)) m_stopping = true;
    }
    return !m_stopping;
}

bool CNetServer::WriteAll(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes = bytes.subspan(static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p[2] = {{fd, POLLOUT, 0}, {m_stopFd, POLLIN, 0}};
            if (poll(p, 2, -1) < 0 && errno != EINTR) return false;
            if (p[1].revents & POLLIN) {
                m_stopping = true;
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace devsim
