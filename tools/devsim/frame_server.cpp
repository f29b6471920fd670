#include "tools/devsim/frame_server.h"

#include <algorithm>

#include "modbus/framing.h"

namespace devsim {
namespace {

// Longer than any request a master may send; a longer run is noise.
constexpr size_t kMaxRtuFrame = 256;
constexpr size_t kMaxAsciiFrame = 2 * kMaxRtuFrame + 5;

}  // namespace

Clock::duration FrameSilence(uint32_t baud) {
    const auto wire = std::chrono::microseconds(baud ? 38500000ull / baud : 0);  // 3.5 x 11 bits
    return std::max<Clock::duration>(wire, std::chrono::milliseconds(10));
}

CRequestReceiver::CRequestReceiver(Framing framing, Clock::duration silence)
    : m_framing(framing), m_silence(silence) {}

std::vector<Frame> CRequestReceiver::Feed(std::span<const uint8_t> bytes, Clock::time_point now) {
    std::vector<Frame> out;
    for (uint8_t b : bytes) {
        if (m_framing == Framing::Rtu)
            FeedRtu(b, now, out);
        else
            FeedAscii(b, out);
    }
    return out;
}

size_t CRequestReceiver::ExpectedRtuLength() const {
    if (m_buffer.size() < 2) return 0;
    switch (m_buffer[1]) {
        case 3:
            return 8;
        case 16:
        case 68:
            return m_buffer.size() < 7 ? 0 : 9 + size_t{m_buffer[6]};
        default:
            return 0;  // only the silence ends a request of a function we do not know
    }
}

void CRequestReceiver::FeedRtu(uint8_t byte, Clock::time_point now, std::vector<Frame>& out) {
    // A gap longer than the silence ends whatever came before.
    if (!m_buffer.empty() && now - m_lastByte >= m_silence) EndRtuBySilence(out);
    m_lastByte = now;
    m_buffer.push_back(byte);
    const size_t expected = ExpectedRtuLength();
    if (expected != 0 && m_buffer.size() >= expected) {
        if (modbus::RtuCrcOk(std::span(m_buffer).first(expected)))
            out.emplace_back(m_buffer.begin(),
                             m_buffer.begin() + static_cast<std::ptrdiff_t>(expected - 2));
        else
            ++m_discarded;
        m_buffer.clear();
    } else if (m_buffer.size() > kMaxRtuFrame) {
        ++m_discarded;
        m_buffer.clear();
    }
}

void CRequestReceiver::EndRtuBySilence(std::vector<Frame>& out) {
    if (m_buffer.size() >= 4 && modbus::RtuCrcOk(m_buffer))
        out.emplace_back(m_buffer.begin(), m_buffer.end() - 2);
    else if (!m_buffer.empty())
        ++m_discarded;
    m_buffer.clear();
}

void CRequestReceiver::FeedAscii(uint8_t byte, std::vector<Frame>& out) {
    if (byte == ':') {
        // A new start mark abandons a frame that never ended.
        if (m_inFrame) ++m_discarded;
        m_buffer.assign(1, byte);
        m_inFrame = true;
        return;
    }
    if (!m_inFrame) return;
    m_buffer.push_back(byte);
    if (byte == '\n' && m_buffer.size() >= 2 && m_buffer[m_buffer.size() - 2] == '\r') {
        auto pdu = modbus::AsciiDecode(m_buffer);
        if (pdu && pdu->size() >= 2)
            out.push_back(std::move(*pdu));
        else
            ++m_discarded;
        m_buffer.clear();
        m_inFrame = false;
    } else if (m_buffer.size() > kMaxAsciiFrame) {
        ++m_discarded;
        m_buffer.clear();
        m_inFrame = false;
    }
}

std::vector<Frame> CRequestReceiver::Idle(Clock::time_point now) {
    std::vector<Frame> out;
    if (m_buffer.empty() || now - m_lastByte < m_silence) return out;
    if (m_framing == Framing::Rtu) {
        EndRtuBySilence(out);
    }
    // ASCII frames end only with CR LF; a partial one is kept until the next ':' replaces it.
    return out;
}

std::optional<Clock::time_point> CRequestReceiver::Deadline() const {
    if (m_framing != Framing::Rtu || m_buffer.empty()) return std::nullopt;
    return m_lastByte + m_silence;
}

Frame FrameReply(std::span<const uint8_t> pdu, Framing framing) {
    return framing == Framing::Rtu ? modbus::RtuFrame(pdu) : modbus::AsciiFrame(pdu);
}

void CorruptFrame(Frame& frame, Framing framing) {
    if (frame.size() < 3) return;
    if (framing == Framing::Rtu) {
        frame.back() ^= 0xFF;
    } else {
        // The LRC's second digit becomes another hexadecimal digit: well formed, wrong sum.
        uint8_t& digit = frame[frame.size() - 3];
        digit = digit == '0' ? '1' : '0';
    }
}

CFaultyDevice::CFaultyDevice(CDeviceSim& device, const FaultConfig& faults)
    : m_device(device), m_faults(faults) {}

std::optional<CFaultyDevice::Reply> CFaultyDevice::Answer(std::span<const uint8_t> request,
                                                          Clock::time_point now) {
    if (request.empty()) return std::nullopt;
    if (m_logger) m_logger("<-", request);
    const uint8_t unit = request[0];
    if (m_faults.silent || (unit != 0 && unit != m_device.Config().unit)) return std::nullopt;
    std::optional<Frame> reply;
    if (m_faults.exception) {
        if (unit != 0 && request.size() >= 2)
            reply = ExceptionReply(unit, request[1], *m_faults.exception);
    } else {
        reply = m_device.Handle(request, now);
    }
    if (!reply) return std::nullopt;
    if (m_logger) m_logger("->", *reply);
    ++m_replies;
    if (m_faults.dropEvery && m_replies % m_faults.dropEvery == 0) return std::nullopt;
    const bool corrupt = m_faults.corruptEvery && m_replies % m_faults.corruptEvery == 0;
    return Reply{std::move(*reply), corrupt};
}

CFrameServer::CFrameServer(CDeviceSim& device, Framing framing, const FaultConfig& faults,
                           Clock::duration silence)
    : m_device(device, faults), m_framing(framing), m_receiver(framing, silence) {}

std::vector<Frame> CFrameServer::Receive(std::span<const uint8_t> bytes, Clock::time_point now) {
    return Answer(m_receiver.Feed(bytes, now), now);
}

std::vector<Frame> CFrameServer::Idle(Clock::time_point now) {
    m_device.Device().Tick(now);
    return Answer(m_receiver.Idle(now), now);
}

std::vector<Frame> CFrameServer::Answer(std::vector<Frame> requests, Clock::time_point now) {
    std::vector<Frame> replies;
    for (const Frame& request : requests) {
        auto reply = m_device.Answer(request, now);
        if (!reply) continue;
        Frame frame = FrameReply(reply->pdu, m_framing);
        if (reply->corrupt) CorruptFrame(frame, m_framing);
        replies.push_back(std::move(frame));
    }
    return replies;
}

}  // namespace devsim
