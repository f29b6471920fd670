// The network side of the simulator: Modbus/TCP clients on one listening address, and the
// MAC-addressed UDP broadcast mode, both answered by the same device with its faults.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "tools/devsim/devsim_options.h"
#include "tools/devsim/frame_server.h"

namespace devsim {

// The reply datagram of the broadcast mode: the request's header with the requester's MAC at
// offset 6 and ours at offset 12; nothing for a datagram that is not a request to us.
std::optional<Frame> BroadcastModeReply(std::span<const uint8_t> request, const NetOptions& net,
                                        CFaultyDevice& device, Clock::time_point now);

class CNetServer {
public:
    // Opens the listeners the options ask for; throws CPrivateException naming the address.
    CNetServer(CFaultyDevice& device, const NetOptions& options);
    ~CNetServer();
    CNetServer(const CNetServer&) = delete;
    CNetServer& operator=(const CNetServer&) = delete;

    // Where Modbus/TCP listens ("127.0.0.1:1502"), with the port taken when 0 was asked for.
    std::string TcpAddress() const;
    uint16_t TcpPort() const;
    uint16_t UdpPort() const;

    // Serves until stopFd becomes readable; afterRound runs after each round of work.
    void Run(int stopFd, const std::function<void()>& afterRound = {});

private:
    struct Client {
        int fd = -1;
        std::vector<uint8_t> buffer;
    };

    // False when the client is to be dropped.
    bool ServeClient(Client& client);
    void ServeDatagram();
    void SendDatagram(std::span<const uint8_t> datagram, const sockaddr_in& to, int interfaceIndex);
    bool SendStream(int fd, std::span<const uint8_t> frame);
    // Waits ms, or less when a stop comes; false then.
    bool Pause(uint32_t ms);
    bool WriteAll(int fd, std::span<const uint8_t> bytes);

    CFaultyDevice& m_device;
    NetOptions m_options;
    int m_listen = -1;
    int m_udp = -1;
    sockaddr_in m_tcpAddress{};
    std::vector<Client> m_clients;
    int m_stopFd = -1;
    bool m_stopping = false;
};

}  // namespace devsim
