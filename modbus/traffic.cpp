#include "modbus/traffic.h"

#include <chrono>
#include <cmath>
#include <ctime>

#include "app/private_exception.h"
#include "platform/text.h"

namespace modbus {
namespace {

std::string Text(std::string_view key, std::initializer_list<platform::FormatArg> args = {}) {
    return CPrivateException(CPrivateException::Key{key}, args).Message();
}

int64_t RoundedMs(double ms) {
    return static_cast<int64_t>(std::llround(ms));
}

}  // namespace

bool TrafficEntry::IsError() const {
    switch (kind) {
        case TrafficKind::EXCEPTION:
        case TrafficKind::TIMEOUT:
        case TrafficKind::CHECKSUM_ERROR:
        case TrafficKind::INVALID_REPLY:
        case TrafficKind::FAILURE:
            return true;
        default:
            return false;
    }
}

double TrafficStatistics::MeanResponseMs() const {
    if (replies == 0) return 0;
    return static_cast<double>(totalResponseUs) / static_cast<double>(replies) / 1000.0;
}

void TrafficStatistics::AddReply(int64_t responseUs) {
    ++replies;
    totalResponseUs += responseUs;
    if (responseUs > maxResponseUs) maxResponseUs = responseUs;
}

int64_t CTrafficClock::MonotonicUs() const {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t CTrafficClock::WallUs() const {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

const CTrafficClock& CTrafficClock::System() {
    static const CTrafficClock clock;
    return clock;
}

std::string HexBytes(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(bytes.size() * 3);
    for (uint8_t b : bytes) {
        if (!hex.empty()) hex += ' ';
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0xF];
    }
    return hex;
}

std::string IsoTimestamp(int64_t wallUs) {
    // Floor division, so that a time before the epoch still gets a positive fraction.
    int64_t seconds = wallUs / 1000000;
    int64_t micros = wallUs % 1000000;
    if (micros < 0) {
        micros += 1000000;
        --seconds;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    return std::string(text) + platform::FormatC(".%06lldZ", static_cast<long long>(micros));
}

std::string FormatTrafficLine(const TrafficEntry& entry) {
    static constexpr const char* kDirections[] = {"TX", "RX", "--"};
    std::string line = IsoTimestamp(entry.wallUs);
    line += ' ';
    line += kDirections[static_cast<int>(entry.direction)];
    line += ' ';
    line += entry.bytes;
    line += "  ";
    line += entry.meaning;
    if (entry.responseUs >= 0 && entry.kind != TrafficKind::TIMEOUT)
        line +=
            Text("traffic.ms", {int64_t{RoundedMs(static_cast<double>(entry.responseUs) / 1000)}});
    return line;
}

std::string GroupedNumber(uint64_t n) {
    const std::string digits = std::to_string(n);
    const std::string separator = g_resources.GetMessageText("num.groupsep");
    std::string grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += separator;
        grouped += digits[i];
    }
    return grouped;
}

std::string StatisticsText(const TrafficStatistics& s) {
    std::string text = Text(
        "stat.text",
        {GroupedNumber(s.requests), GroupedNumber(s.replies), GroupedNumber(s.timeouts),
         GroupedNumber(s.checksumErrors), GroupedNumber(s.exceptions), GroupedNumber(s.retries),
         int64_t{RoundedMs(s.MeanResponseMs())}, int64_t{RoundedMs(s.MaxResponseMs())}});
    if (s.lastGoodReplyWallUs > 0) {
        const std::time_t t = static_cast<std::time_t>(s.lastGoodReplyWallUs / 1000000);
        std::tm local{};
        localtime_r(&t, &local);
        char clock[16];
        std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
        text += Text("stat.last", {std::string(clock)});
    }
    return text;
}

void CTrafficBuffer::OnTraffic(const TrafficEntry& entry) {
    std::lock_guard lock(m_mutex);
    m_entries.push_back(entry);
    while (m_entries.size() > m_limit) {
        m_entries.pop_front();
        ++m_dropped;
    }
}

std::vector<TrafficEntry> CTrafficBuffer::Take() {
    std::lock_guard lock(m_mutex);
    std::vector<TrafficEntry> out(std::make_move_iterator(m_entries.begin()),
                                  std::make_move_iterator(m_entries.end()));
    m_entries.clear();
    return out;
}

uint64_t CTrafficBuffer::Dropped() const {
    std::lock_guard lock(m_mutex);
    return m_dropped;
}

}  // namespace modbus
