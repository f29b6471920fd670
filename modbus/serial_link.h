// Modbus RTU and Modbus ASCII over a byte transport.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "modbus/byte_transport.h"
#include "modbus/modbus_link.h"

namespace modbus {

using SleepFunction = std::function<void(uint32_t ms)>;

// Reply time-out: the base plus 17 bit times per byte at the rate.
uint32_t SerialReplyTimeout(uint32_t baseMs, size_t bytes, int rate);
// The silent interval after an RTU reply before the next request may go out.
uint32_t RtuSilentPause(int rate);

// The part shared by both framings: the drain before each request and the reply time-out.
class CSerialLink : public CModbusLink {
public:
    // timeoutRate sets the reply time-outs (a slow link may use less than the port's rate).
    CSerialLink(CByteTransport& port, int timeoutRate);

    void Open(const ComSettings& settings) override;
    void Close() override;
    uint16_t SendRequest(std::span<const uint8_t> pdu) override;
    void SetReplyTimeout(uint32_t baseMs, size_t bytes) override;

protected:
    virtual std::vector<uint8_t> Frame(std::span<const uint8_t> pdu) const = 0;
    CByteTransport& m_port;

private:
    int m_timeoutRate;
};

class CRtuLink : public CSerialLink {
public:
    // pauseRate is the port's real rate; sleep waits the silent interval after each reply.
    CRtuLink(CByteTransport& port, int timeoutRate, int pauseRate, const SleepFunction& sleep);
    LinkReply ReceiveReply(std::span<uint8_t> reply) override;

protected:
    std::vector<uint8_t> Frame(std::span<const uint8_t> pdu) const override;

private:
    int m_pauseRate;
    const SleepFunction& m_sleep;
};

class CAsciiLink : public CSerialLink {
public:
    using CSerialLink::CSerialLink;
    LinkReply ReceiveReply(std::span<uint8_t> reply) override;

protected:
    std::vector<uint8_t> Frame(std::span<const uint8_t> pdu) const override;
};

}  // namespace modbus
