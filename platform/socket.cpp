#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "app/private_exception.h"
#include "platform/text.h"

namespace platform {
namespace {

std::string ErrorText(CSocketError::Kind kind, int code) {
    return kind == CSocketError::RESOLUTION ? CMessageFormatter::FromAddrInfo(code).Text()
                                            : CMessageFormatter(code).Text();
}

[[noreturn]] void ThrowErrno() {
    throw CSocketError(CSocketError::SYSTEM, errno);
}

// The hardware type of an interface when getifaddrs gave no link-layer entry for it.
int HardwareTypeByIoctl(const std::string& name) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    const int type = ioctl(fd, SIOCGIFHWADDR, &request) == 0 ? request.ifr_hwaddr.sa_family : -1;
    close(fd);
    return type;
}

std::string BaseName(const char* name) {
    std::string base(name);
    if (const size_t colon = base.find(':'); colon != std::string::npos) base.resize(colon);
    return base;
}

}  // namespace

CSocketError::CSocketError(Kind kind, int code)
    : std::runtime_error(ErrorText(kind, code)), m_kind(kind), m_code(code) {}

CWakeup::CWakeup() : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (m_fd < 0) ThrowErrno();
}

CWakeup::~CWakeup() {
    close(m_fd);
}

void CWakeup::Signal() {
    const uint64_t one = 1;
    // A full counter is still readable, so a failed write changes nothing.
    [[maybe_unused]] const ssize_t n = write(m_fd, &one, sizeof one);
}

void CWakeup::Clear() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(m_fd, &count, sizeof count);
}

CSocket::CSocket() = default;

CSocket::~CSocket() {
    Close();
}

void CSocket::Create(int type) {
    Close();
    // Non-blocking underneath: every wait is our own poll, which also watches the wake-up.
    m_fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) ThrowErrno();
}

void CSocket::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

void CSocket::SetOption(int level, int name, int value) {
    if (setsockopt(m_fd, level, name, &value, sizeof value) != 0) ThrowErrno();
}

void CSocket::BindToDevice(const std::string& interfaceName) {
    if (setsockopt(m_fd, SOL_SOCKET, SO_BINDTODEVICE, interfaceName.c_str(),
                   static_cast<socklen_t>(interfaceName.size())) != 0)
        ThrowErrno();
}

void CSocket::Bind(const sockaddr_in& address) {
    if (bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ThrowErrno();
}

void CSocket::Connect(const sockaddr_in& address) {
    CBlockingScope scope(*this);
    if (connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return;
    if (errno != EINPROGRESS && errno != EINTR) ThrowErrno();
    if (!WaitFor(POLLOUT)) throw CSocketError(CSocketError::SYSTEM, ECANCELED);
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) ThrowErrno();
    if (error != 0) throw CSocketError(CSocketError::SYSTEM, error);
}

bool CSocket::Send(std::span<const uint8_t> data) {
    CBlockingScope scope(*this);
    while (!data.empty()) {
        const ssize_t n = send(m_fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n > 0) {
            data = data.subspan(static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(POLLOUT)) return false;
        } else {
            return false;
        }
    }
    return true;
}

bool CSocket::SendTo(std::span<const uint8_t> data, const sockaddr_in& to) {
    CBlockingScope scope(*this);
    for (;;) {
        const ssize_t n = sendto(m_fd, data.data(), data.size(), MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (n >= 0) return static_cast<size_t>(n) == data.size();
        if (errno == EINTR) continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !WaitFor(POLLOUT)) return false;
    }
}

std::optional<size_t> CSocket::Receive(std::span<uint8_t> buffer) {
    CBlockingScope scope(*this);
    for (;;) {
        if (Cancelled()) return std::nullopt;
        const ssize_t n = recv(m_fd, buffer.data(), buffer.size(), 0);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno == EINTR) continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !WaitFor(POLLIN)) return std::nullopt;
    }
}

std::optional<size_t> CSocket::ReceiveDatagram(std::span<uint8_t> buffer, sockaddr_in* from) {
    sockaddr_in sender{};
    socklen_t size = sizeof sender;
    for (;;) {
        // MSG_TRUNC reports the datagram's real length, so an overlong one is never taken for
        // one that fits.
        const ssize_t n = recvfrom(m_fd, buffer.data(), buffer.size(), MSG_TRUNC,
                                   reinterpret_cast<sockaddr*>(&sender), &size);
        if (n >= 0) {
            if (from) *from = sender;
            return static_cast<size_t>(n);
        }
        if (errno != EINTR) return std::nullopt;
    }
}

bool CSocket::IsBlocking() const {
    std::lock_guard lock(m_mutex);
    return m_blockingDepth > 0;
}

void CSocket::CancelBlockingCall() {
    std::lock_guard lock(m_mutex);
    if (m_blockingDepth == 0 || m_cancelled) return;
    m_cancelled = true;
    m_wakeup.Signal();
}

void CSocket::BeginBlocking() {
    std::lock_guard lock(m_mutex);
    if (m_blockingDepth++ == 0) {
        m_cancelled = false;
        m_wakeup.Clear();
    }
}

void CSocket::EndBlocking() {
    std::lock_guard lock(m_mutex);
    // A cancel of this call must not abort the next one.
    if (--m_blockingDepth == 0) {
        m_cancelled = false;
        m_wakeup.Clear();
    }
}

bool CSocket::Cancelled() const {
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

bool CSocket::WaitFor(short events) {
    pollfd fds[2] = {{m_fd, events, 0}, {m_wakeup.Fd(), POLLIN, 0}};
    for (;;) {
        if (Cancelled()) return false;
        const int n = poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || (fds[1].revents & POLLIN)) return false;
        // Errors and hang-ups are reported by the call that follows.
        if (fds[0].revents) return true;
    }
}

sockaddr_in ResolveIPv4(const std::string& host, const std::string& service, int type) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = type;
    hints.ai_protocol = type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
    addrinfo* found = nullptr;
    const int code = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (code != 0) throw CSocketError(CSocketError::RESOLUTION, code);
    sockaddr_in address{};
    if (found && found->ai_addrlen >= sizeof address)
        std::memcpy(&address, found->ai_addr, sizeof address);
    const bool any = found != nullptr;
    freeaddrinfo(found);
    if (!any) throw CSocketError(CSocketError::RESOLUTION, EAI_NONAME);
    return address;
}

sockaddr_in MakeAddress(in_addr_t hostOrder, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(hostOrder);
    address.sin_port = htons(port);
    return address;
}

std::string AddressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return FormatC("%s:%u", text, ntohs(address.sin_port));
}

std::vector<InterfaceAddress> EthernetInterfaceAddresses() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) ThrowErrno();
    // The link-layer entries tell each interface's hardware type, in the caller's namespace.
    std::map<std::string, int> hardware;
    for (const ifaddrs* a = list; a; a = a->ifa_next)
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_PACKET)
            hardware[a->ifa_name] = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr)->sll_hatype;

    std::vector<InterfaceAddress> out;
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        if ((a->ifa_flags & (IFF_UP | IFF_RUNNING)) != (IFF_UP | IFF_RUNNING)) continue;
        const std::string name = BaseName(a->ifa_name);
        const auto known = hardware.find(name);
        const int type = known != hardware.end() ? known->second : HardwareTypeByIoctl(name);
        // Wireless LAN adapters present themselves as Ethernet as well.
        if (type != ARPHRD_ETHER) continue;
        out.push_back({name, reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr});
    }
    freeifaddrs(list);
    return out;
}

}  // namespace platform
