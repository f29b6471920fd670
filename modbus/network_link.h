// The network transports of the Modbus master: Modbus/TCP to one server, guarded by a watchdog
// thread, and the UDP broadcast variant that reaches a device by its MAC address on every local
// Ethernet and wireless adapter.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "app/settings.h"
#include "modbus/modbus_link.h"
#include "platform/socket.h"

class CObserver;
class CTimerThread;

namespace modbus {

inline constexpr uint32_t kNetworkReplyTimeoutMs = 5000;
inline constexpr uint32_t kBroadcastWaitMs = 1000;
inline constexpr uint16_t kBroadcastPort = 502;
inline constexpr size_t kTcpHeaderBytes = 6;
inline constexpr size_t kUdpHeaderBytes = 18;

// Process-wide transaction counters, one per network mode: each request takes the next value,
// so the first request of the process carries 1, and 65535 is followed by 0.
uint16_t NextTcpTransaction();
uint16_t NextUdpTransaction();
// Back to the state at start, for tests that check the first request of a process.
void ResetTransactionCounters();

// Transaction, protocol 0, length (unit identifier included), then the data unit.
std::vector<uint8_t> TcpFrame(uint16_t transaction, std::span<const uint8_t> pdu);
// Transaction, FF FF, 0, data-unit length, target MAC, source MAC, then the data unit.
std::vector<uint8_t> UdpFrame(uint16_t transaction, const MacAddress& target,
                              const MacAddress& source, std::span<const uint8_t> pdu);

class CTcpLink : public CModbusLink {
public:
    // observer is told when a reply is late (on the watchdog thread); cancel is the master's flag.
    CTcpLink(CObserver& observer, const std::atomic<bool>& cancel, uint32_t replyTimeoutMs);
    ~CTcpLink() override;

    void Open(const ComSettings& settings) override;
    void Close() override;
    uint16_t SendRequest(std::span<const uint8_t> pdu) override;
    void SetReplyTimeout(uint32_t baseMs, size_t bytes) override;
    LinkReply ReceiveReply(std::span<uint8_t> reply) override;
    void Cancel() override;
    bool IsBlocking() const override;
    void CancelBlockingCall() override;
    // Reconnects: a wrong length field or a frame cut off would misplace every later reply.
    void Recover() override;

private:
    // Reads the frame in progress until it is whole; false when the wait ended first.
    bool ReadFrame();
    void ResetFrame();

    CObserver& m_observer;
    const std::atomic<bool>& m_cancel;
    const uint32_t m_configuredTimeoutMs;
    uint32_t m_replyTimeoutMs;
    platform::CSocket m_socket;
    std::unique_ptr<CTimerThread> m_watchdog;  // while connected
    ComSettings m_settings;                    // of the connection, for Recover
    // The frame being received, whole or as far as it came before the wait ended.
    std::vector<uint8_t> m_frame;
    size_t m_received = 0;
};

class CUdpLink : public CModbusLink {
public:
    CUdpLink(const std::atomic<bool>& cancel, uint32_t waitMs);
    ~CUdpLink() override;

    void Open(const ComSettings& settings) override;
    void Close() override;
    uint16_t SendRequest(std::span<const uint8_t> pdu) override;
    void SetReplyTimeout(uint32_t baseMs, size_t bytes) override;
    LinkReply ReceiveReply(std::span<uint8_t> reply) override;
    void Cancel() override;

private:
    // Whether a datagram is our device's reply: not a request (ours echoed back or another
    // master's), not from another device.
    bool IsDeviceReply(std::span<const uint8_t> datagram) const;

    const std::atomic<bool>& m_cancel;
    const uint32_t m_waitMs;
    MacAddress m_target{};
    MacAddress m_source{};
    std::vector<std::shared_ptr<platform::CSocket>> m_sockets;  // those of the last request
    platform::CWakeup m_wakeup;                                 // Cancel ends the wait
};

}  // namespace modbus
