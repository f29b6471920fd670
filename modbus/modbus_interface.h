// The Modbus master: reads and writes holding registers in blocks, with retries, reply checks
// and the error texts that reach the user.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "app/resource_database.h"
#include "app/settings.h"
#include "concurrency/observer.h"
#include "modbus/byte_transport.h"
#include "modbus/modbus_link.h"
#include "modbus/serial_link.h"
#include "modbus/traffic.h"

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

    // The traffic record: listeners hear of every frame, time-out and retry on the thread that
    // runs the exchange. A listener must be removed before it goes; removal waits for an entry
    // being delivered to it.
    void AddTrafficListener(modbus::CTrafficListener* listener);
    void RemoveTrafficListener(modbus::CTrafficListener* listener);
    // Where the record's timestamps come from (tests give a clock of their own); not owned.
    void SetTrafficClock(const modbus::CTrafficClock& clock);
    // Communication statistics, any thread: since construction (or ResetStatistics), and since
    // the last BeginStatisticsSession.
    modbus::TrafficStatistics Statistics() const;
    modbus::TrafficStatistics SessionStatistics() const;
    void ResetStatistics();
    void BeginStatisticsSession();

    // Any thread: the running operation stops after its current reply and retries no more.
    void Cancel();
    // The reply watchdog's notification, on its thread: aborts the late receive.
    void Update(CObservable* source) override;

private:
    enum Reason {
        TIMEOUT,
        INVALID_TRANSACTION,
        INVALID_RESPONSE,
        CRC_ERROR,
        EXCEPTION,
        PROTECTED,
        REPLY_OK
    };
    // What the checks found in one reply.
    struct Verdict {
        Reason reason = REPLY_OK;
        int code = 0;  // the exception code, or the transaction received
    };

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
    void Attempt(const Exchange& exchange, std::span<uint8_t> reply, int attempt);
    Verdict CheckReply(const Exchange& exchange, std::span<const uint8_t> reply,
                       const LinkReply& got, uint16_t transaction) const;

    // The traffic record and the statistics of one attempt.
    bool Recording() const { return m_recording.load(std::memory_order_relaxed); }
    void NoteRetry(int attempt);
    void NoteRequest(const Exchange& exchange, int64_t sentUs);
    void NoteReply(const Exchange& exchange, const Verdict& verdict, int64_t sentUs, int attempt);
    modbus::TrafficEntry Entry(modbus::TrafficDirection direction, modbus::TrafficKind kind,
                               int64_t monotonicUs) const;
    std::string MaskedRequestBytes(const Exchange& exchange) const;
    void Deliver(const modbus::TrafficEntry& entry);
    template <typename Fn>
    void Count(Fn&& change);
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
    bool m_recover = false;  // the last attempt failed: the link starts over before the next

    WireTap m_tap;
    const modbus::CTrafficClock* m_clock = &modbus::CTrafficClock::System();
    std::mutex m_listenerMutex;
    std::vector<modbus::CTrafficListener*> m_listeners;  // under m_listenerMutex
    std::atomic<bool> m_recording{false};                // whether m_listeners holds any
    mutable std::mutex m_statsMutex;
    modbus::TrafficStatistics m_stats;  // under m_statsMutex, as the session's
    modbus::TrafficStatistics m_sessionStats;
};
