#include "modbus/serial_link.h"

#include <algorithm>

#include "modbus/framing.h"

namespace modbus {
namespace {

constexpr int kFallbackRate = 1200;
constexpr uint32_t kOpenReadTimeoutMs = 3000;
constexpr size_t kDrainBytes = 512;
// Start of an RTU reply: enough to tell an exception reply (5 bytes in all) from a normal one.
constexpr size_t kRtuHead = 5;

int UsableRate(int rate) {
    return rate > 0 ? rate : kFallbackRate;
}

// A read that never claims more than it was asked for.
size_t ReadUpTo(CByteTransport& port, uint8_t* buffer, size_t n) {
    return n == 0 ? 0 : std::min(port.Read(buffer, n), n);
}

}  // namespace

uint32_t SerialReplyTimeout(uint32_t baseMs, size_t bytes, int rate) {
    return baseMs + static_cast<uint32_t>(uint64_t{bytes} * 17000 / UsableRate(rate));
}

uint32_t RtuSilentPause(int rate) {
    return 120000 / UsableRate(rate) + 1;
}

CSerialLink::CSerialLink(CByteTransport& port, int timeoutRate)
    : m_port(port), m_timeoutRate(timeoutRate) {}

void CSerialLink::Open(const ComSettings& settings) {
    m_port.Open(settings);
    m_port.SetReadTimeout(kOpenReadTimeoutMs);
}

void CSerialLink::Close() {
    m_port.Close();
}

uint16_t CSerialLink::SendRequest(std::span<const uint8_t> pdu) {
    // Whatever a late reply left on the line must not be taken for the answer to this request.
    m_port.SetReadTimeouts(1, 0);
    uint8_t stale[kDrainBytes];
    TapStale(std::span<const uint8_t>(stale, ReadUpTo(m_port, stale, sizeof stale)));
    const std::vector<uint8_t> frame = Frame(pdu);
    m_port.Write(frame.data(), frame.size());
    TapSent(frame);
    return 0;
}

void CSerialLink::SetReplyTimeout(uint32_t baseMs, size_t bytes) {
    m_port.SetReadTimeout(SerialReplyTimeout(baseMs, bytes, m_timeoutRate));
}

CRtuLink::CRtuLink(CByteTransport& port, int timeoutRate, int pauseRate, const SleepFunction& sleep)
    : CSerialLink(port, timeoutRate), m_pauseRate(pauseRate), m_sleep(sleep) {}

std::vector<uint8_t> CRtuLink::Frame(std::span<const uint8_t> pdu) const {
    return RtuFrame(pdu);
}

LinkReply CRtuLink::ReceiveReply(std::span<uint8_t> reply) {
    const size_t want = reply.size() + 2;  // the CRC follows the data unit
    std::vector<uint8_t> frame(std::max(want, kRtuHead), 0);
    const size_t head = std::min(kRtuHead, want);
    size_t got = ReadUpTo(m_port, frame.data(), head);
    const bool exception = got >= 2 && (frame[1] & 0x80);
    if (got == head && !exception) got += ReadUpTo(m_port, frame.data() + head, want - head);

    TapReceived(std::span<const uint8_t>(frame.data(), got));

    const size_t payload = got >= 2 ? got - 2 : got;
    const size_t kept = std::min(payload, reply.size());
    std::copy_n(frame.begin(), kept, reply.begin());
    // A complete frame must carry its CRC, an exception reply included: a corrupted byte must
    // never pass for a device's answer, least of all for a protection exception.
    const bool complete = exception ? got == kRtuHead : payload >= reply.size();
    if (complete && !RtuCrcOk(std::span<const uint8_t>(frame.data(), got)))
        return {kept, 0, LinkReply::CHECKSUM};
    if (m_sleep) m_sleep(RtuSilentPause(m_pauseRate));
    return {kept, 0, LinkReply::NONE};
}

std::vector<uint8_t> CAsciiLink::Frame(std::span<const uint8_t> pdu) const {
    return AsciiFrame(pdu);
}

LinkReply CAsciiLink::ReceiveReply(std::span<uint8_t> reply) {
    // ':' + two digits per byte + two LRC digits + CR LF.
    std::vector<uint8_t> chars(2 * reply.size() + 5);
    const size_t got = ReadUpTo(m_port, chars.data(), chars.size());
    TapReceived(std::span<const uint8_t>(chars.data(), got));
    if (got < 2) return {};
    if (chars[got - 2] != '\r' || chars[got - 1] != '\n') return {0, 0, LinkReply::MALFORMED};
    if ((got - 2) / 2 == 0) return {};

    std::vector<uint8_t> pdu;
    switch (AsciiDecodeReply(std::span<const uint8_t>(chars.data(), got), pdu)) {
        case AsciiStatus::Malformed:
            return {0, 0, LinkReply::MALFORMED};
        case AsciiStatus::LrcMismatch:
            return {0, 0, LinkReply::CHECKSUM};
        case AsciiStatus::Ok:
            break;
    }
    const size_t kept = std::min(pdu.size(), reply.size());
    std::copy_n(pdu.begin(), kept, reply.begin());
    return {kept, 0, LinkReply::NONE};
}

}  // namespace modbus
