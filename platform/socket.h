// Sockets for the network transports: a blocking IPv4 socket whose waits another thread can
// abort, name resolution, and the local Ethernet and wireless interfaces.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

// A failed socket call with the system's text for its code.
class CSocketError : public std::runtime_error {
public:
    enum Kind { SYSTEM, RESOLUTION };
    // code is an errno value, or a getaddrinfo code for RESOLUTION (EAI_SYSTEM reads errno).
    CSocketError(Kind kind, int code);
    Kind GetKind() const { return m_kind; }
    int Code() const { return m_code; }

private:
    Kind m_kind;
    int m_code;
};

// A wake-up descriptor: readable from Signal until Clear. Polled beside the sockets so that
// another thread can end a wait.
class CWakeup {
public:
    CWakeup();  // throws CSocketError
    ~CWakeup();
    CWakeup(const CWakeup&) = delete;
    CWakeup& operator=(const CWakeup&) = delete;

    void Signal();  // any thread
    void Clear();
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
};

class CSocket {
public:
    CSocket();
    ~CSocket();
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    // An IPv4 socket of the type (SOCK_STREAM or SOCK_DGRAM); closes an open one first.
    void Create(int type);
    bool IsOpen() const { return m_fd >= 0; }
    void Close();
    int Handle() const { return m_fd; }

    // Setup calls; each throws CSocketError.
    void SetOption(int level, int name, int value);
    void BindToDevice(const std::string& interfaceName);
    void Bind(const sockaddr_in& address);
    // Blocks until the connection is made, refused or cancelled (then ECANCELED).
    void Connect(const sockaddr_in& address);

    // Send every byte; false when the connection failed or the call was cancelled. A peer that
    // has gone never raises SIGPIPE.
    bool Send(std::span<const uint8_t> data);
    bool SendTo(std::span<const uint8_t> data, const sockaddr_in& to);
    // Blocks until data arrive: the bytes received, 0 when the peer closed the connection,
    // nothing when the call failed or was cancelled.
    std::optional<size_t> Receive(std::span<uint8_t> buffer);
    // One waiting datagram without blocking: its full length (it may exceed the buffer, whose
    // size is then all that is kept); nothing when none waits.
    std::optional<size_t> ReceiveDatagram(std::span<uint8_t> buffer, sockaddr_in* from = nullptr);

    // Whether a call of another thread is waiting on this socket.
    bool IsBlocking() const;
    // Any thread: the waiting call (and every call until its scope ends) returns as failed.
    // Nothing happens when no call waits. The socket stays usable.
    void CancelBlockingCall();

    // Makes a series of calls one blocking call: IsBlocking holds in between, and a cancel
    // aborts the call in progress and every later call of the series.
    class CBlockingScope {
    public:
        explicit CBlockingScope(CSocket& socket) : m_socket(socket) { m_socket.BeginBlocking(); }
        ~CBlockingScope() { m_socket.EndBlocking(); }
        CBlockingScope(const CBlockingScope&) = delete;
        CBlockingScope& operator=(const CBlockingScope&) = delete;

    private:
        CSocket& m_socket;
    };

private:
    void BeginBlocking();
    void EndBlocking();
    bool Cancelled() const;
    // Until the socket is ready for events; false when cancelled or the wait failed.
    bool WaitFor(short events);

    int m_fd = -1;
    CWakeup m_wakeup;
    mutable std::mutex m_mutex;  // guards the two below against CancelBlockingCall
    int m_blockingDepth = 0;
    bool m_cancelled = false;
};

// The first IPv4 address of host and service (a name or a port number) for the socket type.
// Throws CSocketError of kind RESOLUTION.
sockaddr_in ResolveIPv4(const std::string& host, const std::string& service, int type);
sockaddr_in MakeAddress(in_addr_t hostOrder, uint16_t port);
std::string AddressText(const sockaddr_in& address);  // "a.b.c.d:port"

struct InterfaceAddress {
    std::string name;  // the interface, without an alias suffix
    in_addr address{};
};
// The IPv4 addresses of the interfaces that are up and running and of Ethernet type (wireless
// LAN included), in the system's order. Throws CSocketError when the list cannot be read.
std::vector<InterfaceAddress> EthernetInterfaceAddresses();

}  // namespace platform
