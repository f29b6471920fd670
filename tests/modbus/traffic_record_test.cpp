// The master's traffic record and statistics on a fake line with a fake clock: the exact entries
// of each kind of exchange, the password never in a record, and counts that match what the line
// did to the replies.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "modbus/framing.h"
#include "modbus/modbus_interface.h"
#include "modbus/traffic.h"
#include "model/dev_types.h"
#include "session/device_session.h"
#include "test_support.h"
#include "tools/devsim/device_sim.h"

namespace {

using Bytes = std::vector<uint8_t>;
using modbus::TrafficDirection;
using modbus::TrafficEntry;
using modbus::TrafficKind;

// Time passes only on the line: a reply takes a few milliseconds, a silent wait its whole
// time-out.
class FakeClock : public modbus::CTrafficClock {
public:
    int64_t MonotonicUs() const override { return now; }
    int64_t WallUs() const override { return kWallAtZero + now; }
    static constexpr int64_t kWallAtZero = 1796998074123456;  // 2026-12-11T14:07:54.123456Z
    int64_t now = 0;
};

// A line that answers each request with the next scripted reply; none is silence.
class ScriptedLine : public CByteTransport {
public:
    explicit ScriptedLine(FakeClock& clock) : m_clock(clock) {}
    void Open(const ComSettings&) override {}
    void Close() override {}
    void SetReadTimeout(uint32_t totalMs) override { m_timeoutMs = totalMs; }
    void SetReadTimeouts(uint32_t totalMs, uint32_t) override { m_timeoutMs = totalMs; }
    size_t Read(uint8_t* buffer, size_t n) override {
        m_clock.now += input.empty() ? int64_t{m_timeoutMs} * 1000 : 2000;
        n = std::min(n, input.size());
        std::copy_n(input.begin(), n, buffer);
        input.erase(input.begin(), input.begin() + static_cast<long>(n));
        return n;
    }
    size_t Write(const uint8_t*, size_t n) override {
        if (!replies.empty()) {
            input.insert(input.end(), replies.front().begin(), replies.front().end());
            replies.pop_front();
        }
        return n;
    }
    std::deque<Bytes> replies;
    std::deque<uint8_t> input;

private:
    FakeClock& m_clock;
    uint32_t m_timeoutMs = 0;
};

struct Recorder : modbus::CTrafficListener {
    void OnTraffic(const TrafficEntry& e) override { entries.push_back(e); }
    std::vector<TrafficEntry> entries;
};

// (direction, bytes, meaning) of an entry, for readable comparisons.
struct Seen {
    const char* dir;
    std::string bytes;
    std::string meaning;
    bool operator==(const Seen&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Seen& s) {
    return os << s.dir << " [" << s.bytes << "] " << s.meaning;
}
std::vector<Seen> Summary(const std::vector<TrafficEntry>& entries) {
    std::vector<Seen> out;
    for (const auto& e : entries) {
        const char* dir = e.direction == TrafficDirection::TX   ? "TX"
                          : e.direction == TrafficDirection::RX ? "RX"
                                                                : "--";
        out.push_back({dir, e.bytes, e.meaning});
    }
    return out;
}

Bytes Rtu(const Bytes& pdu) {
    return modbus::RtuFrame(pdu);
}

std::string Hex(const Bytes& b) {
    return modbus::HexBytes(b);
}

class TrafficRecord : public testing::Test {
protected:
    void SetUp() override { testing_support::LoadEnglish(); }

    CModbusInterface& Master(int mode = MODE_RTU) {
        ComSettings s;
        s.Mode = mode;
        s.Address = 1;
        s.Baudrate = 5;  // 38400 bit/s
        auto line = std::make_unique<ScriptedLine>(clock);
        m_line = line.get();
        master = std::make_unique<CModbusInterface>(s, std::move(line));
        master->SetSleepFunction([](uint32_t) {});
        master->SetTrafficClock(clock);
        master->AddTrafficListener(&recorder);
        return *master;
    }
    ScriptedLine& Line() { return *m_line; }

    FakeClock clock;
    Recorder recorder;
    std::unique_ptr<CModbusInterface> master;

private:
    ScriptedLine* m_line = nullptr;
};

TEST_F(TrafficRecord, EachKindOfExchangeGivesItsEntries) {
    const Bytes readReply = Rtu({1, 3, 8, 0, 1, 0, 2, 0, 3, 0, 4});
    const Bytes writeEcho = Rtu({1, 16, 0x0B, 0xB8, 0, 2});
    const Bytes exception = Rtu({1, 0x83, 2});
    Bytes corrupted = readReply;
    corrupted.back() ^= 0xFF;
    const std::string readFrame = Hex(modbus::RtuFrame(modbus::ReadRequest(1, 3000, 4)));
    std::vector<uint16_t> words(4);
    const uint16_t values[2] = {0x1234, 0x5678};

    struct Case {
        const char* name;
        std::vector<Bytes> replies;
        std::function<void(CModbusInterface&)> call;
        std::vector<Seen> expected;
    };
    const std::vector<Case> cases = {
        {"read",
         {readReply},
         [&](CModbusInterface& m) { m.ReadHoldingRegisters(3000, 4, words); },
         {{"TX", readFrame, "read 3001–3004 (4 registers)"},
          {"RX", Hex(readReply), "reply 4 registers"}}},
        {"write",
         {writeEcho},
         [&](CModbusInterface& m) { m.WriteMultipleRegisters(3000, 2, values); },
         {{"TX", Hex(modbus::RtuFrame(modbus::WriteRequest(1, 16, 3000, values))),
           "write 3001–3002 (2 registers)"},
          {"RX", Hex(writeEcho), "written 3001–3002 (2 registers)"}}},
        {"exception, then the retry succeeds",
         {exception, readReply},
         [&](CModbusInterface& m) { m.ReadHoldingRegisters(3000, 4, words); },
         {{"TX", readFrame, "read 3001–3004 (4 registers)"},
          {"RX", Hex(exception), "exception 2: illegal data address"},
          {"--", "", "retry, attempt 2 of 3"},
          {"TX", readFrame, "read 3001–3004 (4 registers)"},
          {"RX", Hex(readReply), "reply 4 registers"}}},
        {"time-out, then the retry succeeds",
         {{}, readReply},
         [&](CModbusInterface& m) { m.ReadHoldingRegisters(3000, 4, words); },
         {{"TX", readFrame, "read 3001–3004 (4 registers)"},
          // 1000 ms + 6 + 11 + 4 bytes (data units and CRCs) at 17 bit times each at 38400 bit/s.
          {"--", "", "time-out after 1009 ms, attempt 1 of 3"},
          {"--", "", "retry, attempt 2 of 3"},
          {"TX", readFrame, "read 3001–3004 (4 registers)"},
          {"RX", Hex(readReply), "reply 4 registers"}}},
        {"checksum error, then the retry succeeds",
         {corrupted, readReply},
         [&](CModbusInterface& m) { m.ReadHoldingRegisters(3000, 4, words); },
         {{"TX", readFrame, "read 3001–3004 (4 registers)"},
          {"RX", Hex(corrupted), "checksum error"},
          {"--", "", "retry, attempt 2 of 3"},
          {"TX", readFrame, "read 3001–3004 (4 registers)"},
          {"RX", Hex(readReply), "reply 4 registers"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto& m = Master();
        for (const Bytes& r : c.replies) Line().replies.push_back(r);
        c.call(m);
        EXPECT_EQ(Summary(recorder.entries), c.expected);
        recorder.entries.clear();
    }
}

TEST_F(TrafficRecord, EntriesCarryTimesAndErrorsAreMarked) {
    auto& m = Master();
    Line().replies = {{}, {}, {}};
    std::vector<uint16_t> words(1);
    EXPECT_THROW(m.ReadHoldingRegisters(3003, 1, words), CPrivateException);

    ASSERT_EQ(recorder.entries.size(), 8u);  // three requests, three time-outs, two retries
    const TrafficEntry& tx = recorder.entries[0];
    const TrafficEntry& timeout = recorder.entries[1];
    EXPECT_FALSE(tx.IsError());
    EXPECT_TRUE(timeout.IsError());
    EXPECT_EQ(timeout.kind, TrafficKind::TIMEOUT);
    EXPECT_EQ(timeout.responseUs, timeout.monotonicUs - tx.monotonicUs);
    EXPECT_EQ(timeout.wallUs - timeout.monotonicUs, FakeClock::kWallAtZero);
    EXPECT_EQ(recorder.entries.back().meaning, "time-out after 1006 ms, attempt 3 of 3");
    EXPECT_EQ(modbus::FormatTrafficLine(tx),
              "2026-12-11T14:07:54.124456Z TX 01 03 0B BB 00 01 F6 0B  read 3004 (1 register)");
    EXPECT_EQ(modbus::FormatTrafficLine(timeout),
              "2026-12-11T14:07:55.130456Z --   time-out after 1006 ms, attempt 1 of 3");
}

TEST_F(TrafficRecord, PasswordDataIsMaskedInEveryFraming) {
    const uint16_t password[8] = {0x7333, 0x6372, 0x6574, 0, 0, 0, 0, 0};
    const std::string masked16 = " ** ** ** ** ** ** ** ** ** ** ** ** ** ** ** **";
    struct Case {
        int mode;
        Bytes echo;
        std::string expected;  // the request as recorded
    };
    const Case cases[] = {
        {MODE_RTU, Rtu({1, 68, 0, 0, 0, 8}),
         "01 44 00 00 00 08 10" + masked16 + " ** **"},  // the CRC would betray the password
        {MODE_ASCII,
         {':', '0', '1', '4', '4', '0', '0', '0', '0', '0', '0', '0', '8', 'B', '3', '\r', '\n'},
         // ':' and the digits of the head, then every digit of the data and of the LRC masked.
         "3A 30 31 34 34 30 30 30 30 30 30 30 38 31 30" + masked16 + masked16 + " ** ** 0D 0A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        auto& m = Master(c.mode);
        Line().replies.push_back(c.echo);
        m.WriteAuthentication(0, 8, password);
        ASSERT_EQ(recorder.entries.size(), 2u);
        EXPECT_EQ(recorder.entries[0].bytes, c.expected);
        EXPECT_EQ(recorder.entries[0].meaning, "password 1–8 (8 registers)");
        for (const auto& e : recorder.entries) {
            EXPECT_EQ(e.bytes.find("73 33"), std::string::npos);
            EXPECT_EQ(e.bytes.find("37 33 33 33"), std::string::npos);  // "7333" in ASCII
        }
        recorder.entries.clear();
    }
}

// The device behind the line loses every third reply and spoils the checksum of every fifth one
// it sends; the statistics must count exactly what the line did.
class LossyLine : public CByteTransport {
public:
    explicit LossyLine(devsim::CDeviceSim& sim) : m_sim(sim) {}
    void Open(const ComSettings&) override {}
    void Close() override {}
    void SetReadTimeout(uint32_t) override {}
    void SetReadTimeouts(uint32_t, uint32_t) override {}
    size_t Read(uint8_t* buffer, size_t n) override {
        n = std::min(n, m_pending.size());
        std::copy_n(m_pending.begin(), n, buffer);
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<long>(n));
        return n;
    }
    size_t Write(const uint8_t* buffer, size_t n) override {
        ++requests;
        Bytes pdu(buffer, buffer + n - 2);
        auto reply = m_sim.Handle(pdu, devsim::Clock::now());
        if (!reply) return n;
        ++m_replies;
        if (m_replies % 3 == 0) {
            ++dropped;
            return n;
        }
        Bytes frame = modbus::RtuFrame(*reply);
        if (m_replies % 5 == 0) {
            frame.back() ^= 0xFF;
            ++corrupted;
        }
        m_pending.insert(m_pending.end(), frame.begin(), frame.end());
        return n;
    }
    int requests = 0, dropped = 0, corrupted = 0;

private:
    devsim::CDeviceSim& m_sim;
    std::deque<uint8_t> m_pending;
    int m_replies = 0;
};

TEST_F(TrafficRecord, StatisticsMatchTheInjectedFaults) {
    testing_support::LoadEnglish();
    devsim::SimConfig config;
    config.entry = CDevType::FindModel("RB16KT5QA");
    devsim::CDeviceSim sim(config);
    auto lossy = std::make_unique<LossyLine>(sim);
    LossyLine& line = *lossy;
    ComSettings s;
    s.Mode = MODE_RTU_SLOW;  // ten attempts per block: the upload gets through
    CModbusInterface m(s, std::move(lossy));
    m.SetSleepFunction([](uint32_t) {});
    TransferProgress progress;
    m.Open();
    m.BeginStatisticsSession();
    ASSERT_NE(ReadFromDevice(m, progress), nullptr);

    const modbus::TrafficStatistics stats = m.SessionStatistics();
    ASSERT_GT(line.dropped, 0);
    ASSERT_GT(line.corrupted, 0);
    EXPECT_EQ(stats.requests, static_cast<uint64_t>(line.requests));
    EXPECT_EQ(stats.timeouts, static_cast<uint64_t>(line.dropped));
    EXPECT_EQ(stats.checksumErrors, static_cast<uint64_t>(line.corrupted));
    EXPECT_EQ(stats.retries, stats.timeouts + stats.checksumErrors);
    EXPECT_EQ(stats.replies, stats.requests - stats.timeouts - stats.checksumErrors);
    EXPECT_EQ(stats.exceptions, 0u);
    EXPECT_GT(stats.lastGoodReplyWallUs, 0);
    // Counted with nobody listening; the master's own totals include the session's.
    EXPECT_EQ(m.Statistics().requests, stats.requests);
    m.BeginStatisticsSession();
    EXPECT_EQ(m.SessionStatistics().requests, 0u);
    EXPECT_EQ(m.Statistics().requests, stats.requests);
}

TEST(TrafficBuffer, KeepsTheNewestUpToItsLimit) {
    modbus::CTrafficBuffer buffer(3);
    for (int i = 0; i < 5; ++i) {
        TrafficEntry e;
        e.meaning = std::to_string(i);
        buffer.OnTraffic(e);
    }
    const auto taken = buffer.Take();
    ASSERT_EQ(taken.size(), 3u);
    EXPECT_EQ(taken.front().meaning, "2");
    EXPECT_EQ(buffer.Dropped(), 2u);
    EXPECT_TRUE(buffer.Take().empty());
}

TEST(TrafficText, TimestampsAndNumbers) {
    testing_support::LoadEnglish();
    EXPECT_EQ(modbus::IsoTimestamp(0), "1970-01-01T00:00:00.000000Z");
    EXPECT_EQ(modbus::IsoTimestamp(-1), "1969-12-31T23:59:59.999999Z");
    EXPECT_EQ(modbus::GroupedNumber(1203), "1,203");
    EXPECT_EQ(modbus::GroupedNumber(999), "999");
    EXPECT_EQ(modbus::GroupedNumber(1234567), "1,234,567");
}

}  // namespace
