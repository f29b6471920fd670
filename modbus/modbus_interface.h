// The Modbus master: reads and writes holding registers in blocks, with retries, reply checks
// and the error texts that reach the user.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "app/resource_database.h"
#include "app/settings.h"
#include "concurrency/observer.h"
#include "modbus/byte_transport.h"
#include "modbus/modbus_link.h"
#include "modbus/serial_link.h"

// Transport modes of the connection settings.
enum ModbusMode : int {
    MODE_RTU = 0,
    MODE_TCP = 1,
    MODE_RTU_SLOW = 2,
    MODE_UDP_BROADCAST = 3,
    MODE_ASCII = 4,
};

// What a mode fixes for every request; any unknown mode behaves as MODE_RTU.
struct ModeTraits {
    enum Link { SERIAL_RTU, SERIAL_ASCII, NETWORK_TCP, NETWORK_UDP };

    Link link = SERIAL_RTU;
    int fixedUnit = -1;     // unit identifier sent whatever the settings say; -1 = none
    int blockSize = 10000;  // registers per request, within the protocol's limit; 10000 = no split
    int attempts = 3;       // requests per block before the failure is reported
    int timeoutRate = 0;    // rate for the reply time-out; 0 = the configured rate
};
ModeTraits TraitsOfMode(int mode);

class CModbusInterface : public CObserver, public CResourceManager {
public:
    // Settings from the persisted store, on the serial port.
    CModbusInterface();
    // The given settings, on the serial port.
    explicit CModbusInterface(const ComSettings& settings);
    // The given settings over any byte transport for the serial modes (tests use a fake).
    CModbusInterface(const ComSettings& settings, std::unique_ptr<CByteTransport> serial);
    ~CModbusInterface() override;
    CModbusInterface(const CModbusInterface&) = delete;
    CModbusInterface& operator=(const CModbusInterface&) = delete;

    // Replaces the connection settings; an open transport is closed first.
    void SetSettings(const ComSettings& settings);
    const ComSettings& Settings() const { return m_settings; }
    // How the silent interval after an RTU reply is waited (tests record it instead).
    void SetSleepFunction(modbus::SleepFunction sleep) { m_sleep = std::move(sleep); }
    // The Modbus/TCP reply watchdog and the broadcast wait (tests shorten them); closes an open
    // transport.
    void SetNetworkTimeouts(uint32_t tcpReplyMs, uint32_t broadcastWaitMs);

    // Makes the transport of the current mode ready; reopens it when it is open.
    void Open();
    // Releases every transport; harmless when nothing is open.
    void Close();

    // Reads count registers from address (0-based) into out[0..count), in as many requests as the
    // mode and the protocol's limit call for. Returns true; failures are thrown as
    // CPrivateException ("PROTECT" for a protected device, empty when cancelled).
    bool ReadHoldingRegisters(int address, int count, std::span<uint16_t> out);
    // Writes in[0..count) to count registers from address.
    bool WriteMultipleRegisters(int address, int count, std::span<const uint16_t> in);
    // Sends the device password: a register write with function code 68. Never traced beyond
    // the address and count.
    bool WriteAuthentication(int address, int count, std::span<const uint16_t> in);

    // Any thread: the running operation stops after its current reply and retries no more.
    void Cancel();
    // The reply watchdog's notification, on its thread: aborts the late receive.
    void Update(CObservable* source) override;

private:
    enum Reason { TIMEOUT, INVALID_TRANSACTION, INVALID_RESPONSE, CRC_ERROR, EXCEPTION, PROTECTED };

    // One block's request with the labels of its texts.
    struct Exchange {
        std::string_view label;
        int address = 0;  // 0-based
        int count = 0;
        std::vector<uint8_t> request;
        uint32_t baseTimeoutMs = 0;
        bool cancelAfterReply = false;
    };

    bool WriteRegisters(uint8_t function, int address, int count, std::span<const uint16_t> in);
    uint8_t UnitIdentifier() const;
    void RebuildLink();
    CModbusLink& Link();

    // Runs one block with its attempts; the reply holds the checked answer afterwards.
    void RunBlock(const Exchange& exchange, std::span<uint8_t> reply);
    void Attempt(const Exchange& exchange, std::span<uint8_t> reply);
    void CheckReply(const Exchange& exchange, std::span<const uint8_t> reply, const LinkReply& got,
                    uint16_t transaction) const;
    [[noreturn]] void RaiseCommError(const Exchange& exchange, Reason reason,
                                     int exceptionCode = 0) const;

    ComSettings m_settings;
    ModeTraits m_traits;
    std::unique_ptr<CByteTransport> m_serial;
    std::unique_ptr<CModbusLink> m_link;  // the transport and framing of the mode
    modbus::SleepFunction m_sleep;
    uint32_t m_tcpReplyMs;
    uint32_t m_broadcastWaitMs;
    std::atomic<bool> m_cancel{false};
};
