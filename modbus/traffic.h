// The traffic record of the Modbus master, for the user: every frame as it crossed the wire with
// its timestamps and a one-line meaning, every time-out, checksum error and retry, and the
// communication statistics. Separate from the diagnostic trace, which is for developers only.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace modbus {

enum class TrafficDirection { TX, RX, EVENT };
enum class TrafficFraming { RTU, ASCII, TCP, UDP };
enum class TrafficKind {
    REQUEST,
    REPLY,
    EXCEPTION,
    TIMEOUT,
    CHECKSUM_ERROR,
    INVALID_REPLY,
    STALE_BYTES,  // left on the line by a late reply, thrown away before a request
    RETRY,
    FAILURE,  // the transport itself failed
};

struct TrafficEntry {
    int64_t monotonicUs = 0;  // steady clock
    int64_t wallUs = 0;       // UTC, since the epoch
    TrafficDirection direction = TrafficDirection::EVENT;
    TrafficFraming framing = TrafficFraming::RTU;
    TrafficKind kind = TrafficKind::REQUEST;
    std::string bytes;        // upper-case hex pairs as on the wire; a password's data as "**"
    std::string meaning;      // in the user's language
    int64_t responseUs = -1;  // replies and failed waits: from the end of the request; -1 none

    bool IsError() const;
};

struct TrafficStatistics {
    uint64_t requests = 0;  // every request sent, retries included
    uint64_t replies = 0;   // well-formed replies, exception replies included
    uint64_t timeouts = 0;
    uint64_t checksumErrors = 0;
    uint64_t exceptions = 0;
    uint64_t invalidReplies = 0;
    uint64_t retries = 0;
    int64_t totalResponseUs = 0;  // over the replies
    int64_t maxResponseUs = 0;
    int64_t lastGoodReplyWallUs = 0;  // the last normal reply, UTC; 0 when none yet

    double MeanResponseMs() const;
    double MaxResponseMs() const { return static_cast<double>(maxResponseUs) / 1000.0; }
    void AddReply(int64_t responseUs);
};

// Told about every entry, on the thread that runs the exchange. Listeners must be quick and must
// not call back into the master.
class CTrafficListener {
public:
    virtual ~CTrafficListener() = default;
    virtual void OnTraffic(const TrafficEntry& entry) = 0;
};

// Where the timestamps come from; tests give a clock of their own.
class CTrafficClock {
public:
    virtual ~CTrafficClock() = default;
    virtual int64_t MonotonicUs() const;
    virtual int64_t WallUs() const;
    static const CTrafficClock& System();
};

// "01 03 0B B8 00 04"
std::string HexBytes(std::span<const uint8_t> bytes);
// 2026-12-11T14:07:54.123456Z
std::string IsoTimestamp(int64_t wallUs);
// TIMESTAMP DIR BYTES  MEANING, the response time appended in brackets where there is one; the
// one line format of the tool's traffic log and of a saved traffic window.
std::string FormatTrafficLine(const TrafficEntry& entry);
// The statistics in one line of the user's language.
std::string StatisticsText(const TrafficStatistics& stats);
// "1 203": thousands grouped as the language file says.
std::string GroupedNumber(uint64_t n);

// Keeps the entries that arrived until they are taken, the newest up to a limit: a listener
// whose reader lives on another thread (the desktop's traffic window).
class CTrafficBuffer : public CTrafficListener {
public:
    explicit CTrafficBuffer(size_t limit) : m_limit(limit) {}
    void OnTraffic(const TrafficEntry& entry) override;
    // Everything kept since the last call, oldest first.
    std::vector<TrafficEntry> Take();
    // Entries lost because nobody took them in time.
    uint64_t Dropped() const;

private:
    mutable std::mutex m_mutex;
    const size_t m_limit;
    std::deque<TrafficEntry> m_entries;
    uint64_t m_dropped = 0;
};

}  // namespace modbus
