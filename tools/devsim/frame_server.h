// The line side of the simulator: cuts the byte stream into request frames (RTU or ASCII), hands
// them to the device, frames the replies and injects the faults asked for on the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tools/devsim/device_sim.h"

namespace devsim {

enum class Framing { Rtu, Ascii };

struct FaultConfig {
    bool silent = false;               // never answers (a device that is absent or mute)
    uint32_t dropEvery = 0;            // every Nth reply is lost; 0: none
    uint32_t corruptEvery = 0;         // every Nth reply carries a wrong checksum; 0: none
    std::optional<uint8_t> exception;  // every request is refused with this code, nothing applied
    uint32_t delayMs = 0;              // wait before each reply
};

// The silence that ends an RTU frame: 3.5 characters of 11 bits at the rate, but at least 10 ms,
// because a pseudo-terminal delivers bytes with scheduling gaps rather than wire timing.
Clock::duration FrameSilence(uint32_t baud);

using Frame = std::vector<uint8_t>;

// Collects request frames from the line and returns their data units (checksum removed).
class CRequestReceiver {
public:
    CRequestReceiver(Framing framing, Clock::duration silence);

    // Bytes that arrived at now; the data units of the frames they complete.
    std::vector<Frame> Feed(std::span<const uint8_t> bytes, Clock::time_point now);
    // The line was quiet until now: ends a frame whose length only the silence tells.
    std::vector<Frame> Idle(Clock::time_point now);
    // When Idle has something to decide, if a partial frame waits.
    std::optional<Clock::time_point> Deadline() const;
    // Frames thrown away for a bad checksum or a bad form.
    uint64_t Discarded() const { return m_discarded; }

private:
    void FeedRtu(uint8_t byte, Clock::time_point now, std::vector<Frame>& out);
    void FeedAscii(uint8_t byte, std::vector<Frame>& out);
    void EndRtuBySilence(std::vector<Frame>& out);
    // Total frame length once the buffered start tells it; 0 while it cannot be told yet.
    size_t ExpectedRtuLength() const;

    Framing m_framing;
    Clock::duration m_silence;
    std::vector<uint8_t> m_buffer;
    bool m_inFrame = false;  // ASCII: a ':' has been seen
    Clock::time_point m_lastByte{};
    uint64_t m_discarded = 0;
};

// The data unit framed for the line.
Frame FrameReply(std::span<const uint8_t> pdu, Framing framing);
// The frame with a wrong checksum and otherwise intact.
void CorruptFrame(Frame& frame, Framing framing);

// Optional observer of every request and reply data unit, for the verbose log.
using PduLogger = void (*)(const char* direction, std::span<const uint8_t> pdu);

// The device behind the faults of the command line, whatever line carries its frames.
class CFaultyDevice {
public:
    CFaultyDevice(CDeviceSim& device, const FaultConfig& faults);

    struct Reply {
        Frame pdu;
        bool corrupt = false;  // the line is to spoil its checksum
    };
    // The reply data unit due to one request data unit; nothing when none goes out (another
    // unit, a broadcast, a mute device, a dropped reply).
    std::optional<Reply> Answer(std::span<const uint8_t> request, Clock::time_point now);
    void SetLogger(PduLogger logger) { m_logger = logger; }
    CDeviceSim& Device() { return m_device; }
    const FaultConfig& Faults() const { return m_faults; }

private:
    CDeviceSim& m_device;
    FaultConfig m_faults;
    uint64_t m_replies = 0;
    PduLogger m_logger = nullptr;
};

// Joins the receiver, the device and the faults: bytes in, reply frames out.
class CFrameServer {
public:
    CFrameServer(CDeviceSim& device, Framing framing, const FaultConfig& faults,
                 Clock::duration silence);

    std::vector<Frame> Receive(std::span<const uint8_t> bytes, Clock::time_point now);
    std::vector<Frame> Idle(Clock::time_point now);
    std::optional<Clock::time_point> Deadline() const { return m_receiver.Deadline(); }

    using Logger = PduLogger;
    void SetLogger(Logger logger) { m_device.SetLogger(logger); }

private:
    std::vector<Frame> Answer(std::vector<Frame> requests, Clock::time_point now);

    CFaultyDevice m_device;
    Framing m_framing;
    CRequestReceiver m_receiver;
};

}  // namespace devsim
