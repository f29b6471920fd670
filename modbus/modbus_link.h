// One transport with its framing, as the Modbus master drives it: send a data unit, wait for
// the reply, report what arrived. Every check of the reply's content and every error text stay
// in the master, so that a new transport only moves bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "app/settings.h"

// What one attempt received, before the master's checks.
struct LinkReply {
    enum Fault { NONE, MALFORMED, CHECKSUM };

    size_t length = 0;         // data-unit bytes received, checksum excluded; 0 = no reply
    uint16_t transaction = 0;  // 0 on the serial links
    Fault fault = NONE;        // a framing fault, seen before any other check
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
};
