// One transport with its framing, as the Modbus master drives it: send a data unit, wait for
// the reply, report what arrived. Every check of the reply's content and every error text stay
// in the master, so that a new transport only moves bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "app/settings.h"
#include "modbus/traffic.h"

// What one attempt received, before the master's checks.
struct LinkReply {
    enum Fault { NONE, MALFORMED, CHECKSUM };

    size_t length = 0;         // data-unit bytes received, checksum excluded; 0 = no reply
    uint16_t transaction = 0;  // 0 on the serial links
    Fault fault = NONE;        // a framing fault, seen before any other check
};

// What a link tells the master about the frames of one attempt. The bytes are copied only while
// someone records the traffic, so that nobody pays for a record that nobody reads.
struct WireTap {
    bool keepBytes = false;
    std::vector<uint8_t> sent;      // the request frame
    std::vector<uint8_t> received;  // everything the reply wait took from the line
    std::vector<uint8_t> stale;     // thrown away before the request
    // Monotonic time at which the reply wait ended before any pause of the link's own; 0 = the
    // master stamps it when the receive returns.
    int64_t receivedUs = 0;
    const modbus::CTrafficClock* clock = nullptr;  // the master's
};

class CModbusLink {
public:
    virtual ~CModbusLink() = default;

    virtual void Open(const ComSettings& settings) = 0;
    virtual void Close() = 0;
    // Sends one request; returns its transaction identifier.
    virtual uint16_t SendRequest(std::span<const uint8_t> pdu) = 0;
    // Time allowed for the reply to a frame exchange of the given size (both frames, checksums
    // included).
    virtual void SetReplyTimeout(uint32_t baseMs, size_t bytes) = 0;
    // Fills reply (sized to the expected reply) with what arrived, at most reply.size() bytes.
    virtual LinkReply ReceiveReply(std::span<uint8_t> reply) = 0;
    // Called from another thread: abandon a blocking wait if the transport has one.
    virtual void Cancel() {}
    // Whether a call waits on a socket, and aborting it: for the reply watchdog.
    virtual bool IsBlocking() const { return false; }
    virtual void CancelBlockingCall() {}
    // After a failed attempt, before the next: a stream transport may have lost its place in the
    // stream and starts over on a fresh connection. Raises what opening raises.
    virtual void Recover() {}

    void AttachTap(WireTap* tap) { m_tap = tap; }

protected:
    void TapSent(std::span<const uint8_t> frame) {
        if (m_tap && m_tap->keepBytes) m_tap->sent.assign(frame.begin(), frame.end());
    }
    void TapStale(std::span<const uint8_t> bytes) {
        if (m_tap && m_tap->keepBytes) m_tap->stale.assign(bytes.begin(), bytes.end());
    }
    // Called when the reply wait is over, before the link pauses.
    void TapReceived(std::span<const uint8_t> bytes) {
        if (!m_tap) return;
        if (m_tap->clock) m_tap->receivedUs = m_tap->clock->MonotonicUs();
        if (m_tap->keepBytes) m_tap->received.assign(bytes.begin(), bytes.end());
    }

private:
    WireTap* m_tap = nullptr;
};
