// The Modbus master over a scripted byte transport: framing on the wire, block splitting,
// retries, reply checks, error texts and cancellation, with no port and no real waiting.
#include "modbus/modbus_interface.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/private_exception.h"
#include "modbus/framing.h"
#include "platform/trace.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testing::HasSubstr;

// A line that answers each written request with the next scripted reply (none = silence).
class FakeTransport : public CByteTransport {
public:
    void Open(const ComSettings& settings) override {
        ++opens;
        openedPath = settings.COMPortName;
    }
    void Close() override { ++closes; }
    void SetReadTimeout(uint32_t totalMs) override {
        replyTimeouts.push_back(totalMs);
        timeoutMs = totalMs;
    }
    void SetReadTimeouts(uint32_t totalMs, uint32_t intervalMs) override {
        drains += totalMs == 1 && intervalMs == 0;
        timeoutMs = totalMs;
    }
    size_t Read(uint8_t* buffer, size_t n) override {
        reads.push_back({n, timeoutMs});
        // A real port waits out its whole time-out when fewer bytes arrive than were asked for.
        if (input.size() < n) waitedMs += timeoutMs;
        n = std::min(n, input.size());
        std::copy_n(input.begin(), n, buffer);
        input.erase(input.begin(), input.begin() + static_cast<long>(n));
        return n;
    }
    size_t Write(const uint8_t* buffer, size_t n) override {
        written.emplace_back(buffer, buffer + n);
        if (!replies.empty()) {
            input.insert(input.end(), replies.front().begin(), replies.front().end());
            replies.pop_front();
        }
        if (onWrite) onWrite();
        return n;
    }

    std::deque<Bytes> replies;
    Bytes input;  // bytes waiting on the line
    std::vector<Bytes> written;
    std::vector<uint32_t> replyTimeouts;
    struct ReadCall {
        size_t asked;
        uint32_t timeoutMs;
        bool operator==(const ReadCall&) const = default;
    };
    std::vector<ReadCall> reads;
    uint32_t timeoutMs = 0;
    uint64_t waitedMs = 0;  // what the reads would have waited on a real line
    std::function<void()> onWrite;
    int opens = 0, closes = 0, drains = 0;
    std::string openedPath;
};

Bytes ReadReplyPdu(uint8_t unit, const std::vector<uint16_t>& values) {
    Bytes pdu{unit, 3, static_cast<uint8_t>(2 * values.size())};
    for (uint16_t v : values) {
        pdu.push_back(static_cast<uint8_t>(v >> 8));
        pdu.push_back(static_cast<uint8_t>(v & 0xFF));
    }
    return pdu;
}

Bytes Rtu(const Bytes& pdu) {
    return modbus::RtuFrame(pdu);
}
Bytes Ascii(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// The text a failed block must carry, built from the language file's templates.
std::string CommError(const std::string& label, int shownAddress, int count, const char* reasonKey,
                      int code = 0) {
    std::string why =
        CPrivateException(CPrivateException::Key{reasonKey}, {int32_t{code}}).Message();
    return CPrivateException(CPrivateException::Key{"mbio.message"},
                             {label, int32_t{shownAddress}, int32_t{count}, why})
        .Message();
}

class ModbusMaster : public testing::Test {
protected:
    void SetUp() override {
        testing_support::LoadEnglish();
        platform::SetTraceSink([this](std::string_view line) { trace.emplace_back(line); });
    }
    void TearDown() override { platform::SetTraceSink({}); }

    // A master on a fresh fake line; Baudrate 5 = 38400 bit/s.
    CModbusInterface& Master(int mode, int address = 1, int baudrate = 5) {
        ComSettings s;
        s.Mode = mode;
        s.Address = address;
        s.Baudrate = baudrate;
        s.COMPortName = "/dev/pts/fake";
        auto fake = std::make_unique<FakeTransport>();
        line = fake.get();
        master = std::make_unique<CModbusInterface>(s, std::move(fake));
        master->SetSleepFunction([this](uint32_t ms) { pauses.push_back(ms); });
        return *master;
    }

    // Runs the call and returns the message of the exception it must throw.
    static std::string Failure(const std::function<void()>& call) {
        try {
            call();
        } catch (const CPrivateException& e) {
            return e.Message();
        }
        ADD_FAILURE() << "no exception";
        return "<none>";
    }

    FakeTransport* line = nullptr;
    std::unique_ptr<CModbusInterface> master;
    std::vector<uint32_t> pauses;
    std::vector<std::string> trace;
};

TEST_F(ModbusMaster, RtuReadGoesOutWithCrcAfterDrainAndStoresRegisters) {
    auto& m = Master(MODE_RTU);
    line->input = {0xDE, 0xAD};  // a late reply of an earlier exchange
    line->replies.push_back(Rtu(ReadReplyPdu(1, {0x1234})));
    std::vector<uint16_t> out(1);

    EXPECT_TRUE(m.ReadHoldingRegisters(0, 1, out));

    ASSERT_EQ(line->written.size(), 1u);
    EXPECT_EQ(line->written[0], (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
    EXPECT_EQ(out[0], 0x1234);
    EXPECT_EQ(line->drains, 1);
    // 6 + 5 + 4 bytes at 38400 bit/s; then the silent interval at the port's rate.
    EXPECT_EQ(line->replyTimeouts, (std::vector<uint32_t>{1000 + 15 * 17000 / 38400}));
    EXPECT_EQ(pauses, (std::vector<uint32_t>{4}));
    EXPECT_EQ(trace, (std::vector<std::string>{"ReadHoldingRegisters: adrs=1 size=1"}));
}

TEST_F(ModbusMaster, AsciiFrameCarriesLrcAndRepliesAreDecoded) {
    auto& m = Master(MODE_ASCII);
    line->replies.push_back(Ascii(":0103021234B4\r\n"));
    std::vector<uint16_t> out(1);

    m.ReadHoldingRegisters(0, 1, out);

    ASSERT_EQ(line->written.size(), 1u);
    EXPECT_EQ(line->written[0], Ascii(":010300000001FB\r\n"));
    EXPECT_EQ(out[0], 0x1234);
    EXPECT_TRUE(pauses.empty());  // no silent interval in ASCII
}

TEST_F(ModbusMaster, SlowLinkSplitsIntoBlocksOfEightForUnitOne) {
    auto& m = Master(MODE_RTU_SLOW, /*address=*/7);
    std::vector<uint16_t> values(20);
    for (int i = 0; i < 20; ++i) values[i] = static_cast<uint16_t>(0x100 + i);
    for (auto [from, n] : {std::pair{0, 8}, {8, 8}, {16, 4}})
        line->replies.push_back(
            Rtu(ReadReplyPdu(1, {values.begin() + from, values.begin() + from + n})));
    std::vector<uint16_t> out(20);

    m.ReadHoldingRegisters(100, 20, out);

    ASSERT_EQ(line->written.size(), 3u);
    EXPECT_EQ(line->written[0], Rtu({1, 3, 0, 100, 0, 8}));
    EXPECT_EQ(line->written[1], Rtu({1, 3, 0, 108, 0, 8}));
    EXPECT_EQ(line->written[2], Rtu({1, 3, 0, 116, 0, 4}));
    EXPECT_EQ(out, values);
    // Time-outs at 1200 bit/s whatever the port's rate, the pause at the port's 38400 bit/s.
    EXPECT_EQ(line->replyTimeouts.back(), 1000u + (6 + 11 + 4) * 17000 / 1200);
    EXPECT_EQ(pauses.back(), 4u);
}

TEST_F(ModbusMaster, AttemptsAndUnitFollowTheMode) {
    struct Case {
        int mode;
        size_t attempts;
        uint8_t unit;
    } cases[] = {{MODE_RTU, 3, 7}, {MODE_RTU_SLOW, 10, 1}, {MODE_ASCII, 3, 7}, {42, 3, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        auto& m = Master(c.mode, /*address=*/0x107);  // only the low 8 bits are sent
        std::vector<uint16_t> out(1);
        EXPECT_EQ(Failure([&] { m.ReadHoldingRegisters(9, 1, out); }),
                  CommError("ReadHoldingRegisters", 10, 1, "mbio.timeout"));
        ASSERT_EQ(line->written.size(), c.attempts);
        const Bytes pdu{c.unit, 3, 0, 9, 0, 1};
        EXPECT_EQ(line->written.back(), c.mode == MODE_ASCII ? modbus::AsciiFrame(pdu) : Rtu(pdu));
    }
}

TEST_F(ModbusMaster, ExceptionReplyIsRetriedThenReported) {
    auto& m = Master(MODE_RTU);
    for (int i = 0; i < 3; ++i) line->replies.push_back(Rtu({1, 0x83, 2}));
    std::vector<uint16_t> out(2);

    std::string message = Failure([&] { m.ReadHoldingRegisters(99, 2, out); });

    EXPECT_EQ(line->written.size(), 3u);
    EXPECT_EQ(message, CommError("ReadHoldingRegisters", 100, 2, "mbio.exception", 2));
    EXPECT_THAT(message, HasSubstr("ReadHoldingRegisters failed (register 100, count 2)"));
    EXPECT_THAT(message, HasSubstr("exception code 2."));
    EXPECT_THAT(trace, testing::Contains("Exception 2"));
}

TEST_F(ModbusMaster, ProtectionExceptionFailsAtOnce) {
    for (uint8_t code : {20, 21}) {
        for (int mode : {MODE_RTU, MODE_ASCII}) {
            SCOPED_TRACE(testing::Message() << "code " << int{code} << " mode " << mode);
            auto& m = Master(mode);
            const Bytes pdu{1, 0x90, code};
            line->replies.push_back(mode == MODE_ASCII ? modbus::AsciiFrame(pdu) : Rtu(pdu));
            const uint16_t password[8] = {0x4142};
            EXPECT_EQ(Failure([&] { m.WriteMultipleRegisters(0, 8, password); }), "PROTECT");
            EXPECT_EQ(line->written.size(), 1u);
        }
    }
}

TEST_F(ModbusMaster, BadRtuRepliesAreRetriedThenReported) {
    Bytes good = Rtu(ReadReplyPdu(1, {0x0102}));
    Bytes badCrc = good;
    badCrc.back() ^= 0xFF;
    Bytes badExceptionCrc = Rtu({1, 0x83, 20});  // a corrupted frame must not lock the user out
    badExceptionCrc.back() ^= 0xFF;
    const Bytes shortReply(good.begin(), good.begin() + 5);
    struct Case {
        const char* name;
        Bytes reply;
        const char* reasonKey;
    } cases[] = {
        {"wrong CRC", badCrc, "mbio.crcerr"},
        {"exception with wrong CRC", badExceptionCrc, "mbio.crcerr"},
        {"short", shortReply, "mbio.invalid_response"},
        {"wrong byte count", Rtu({1, 3, 4, 1, 2}), "mbio.invalid_response"},
        {"silence", {}, "mbio.timeout"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto& m = Master(MODE_RTU);
        for (int i = 0; i < 3; ++i) line->replies.push_back(c.reply);
        std::vector<uint16_t> out{0xBEEF};
        EXPECT_EQ(Failure([&] { m.ReadHoldingRegisters(4, 1, out); }),
                  CommError("ReadHoldingRegisters", 5, 1, c.reasonKey));
        EXPECT_EQ(line->written.size(), 3u);
        EXPECT_EQ(out[0], 0xBEEF);

        // The same fault twice, then a good reply: the block succeeds on its third attempt.
        auto& again = Master(MODE_RTU);
        line->replies = {c.reply, c.reply, good};
        EXPECT_TRUE(again.ReadHoldingRegisters(4, 1, out));
        EXPECT_EQ(out[0], 0x0102);
    }
}

// Each RTU attempt drains the line once and reads the reply in at most two calls (its head, then
// the rest); an absent device costs three attempts of drain, reply time-out and silent pause.
TEST_F(ModbusMaster, RtuAttemptsReadInFewCallsAndAnAbsentDeviceCostsThreeTimeOuts) {
    using Read = FakeTransport::ReadCall;
    // One register at 38400 bit/s: 1000 ms + (6 + 5 + 4 bytes) x 17 bit times.
    const uint32_t reply = 1000 + 15 * 17000 / 38400;
    auto& m = Master(MODE_RTU);
    line->replies.push_back(Rtu(ReadReplyPdu(1, {7})));
    std::vector<uint16_t> out(1);
    EXPECT_TRUE(m.ReadHoldingRegisters(0, 1, out));
    EXPECT_EQ(line->reads, (std::vector<Read>{{512, 1}, {5, reply}, {2, reply}}));

    auto costOf = [&](const std::function<void()>& call) {
        pauses.clear();
        Failure(call);
        uint64_t ms = line->waitedMs;
        for (uint32_t p : pauses) ms += p;
        return ms;
    };
    auto& absent = Master(MODE_RTU);
    EXPECT_EQ(costOf([&] { absent.ReadHoldingRegisters(0, 1, out); }), 3 * (1 + reply + 4));
    const std::vector<Read> attempt = {{512, 1}, {5, reply}};
    std::vector<Read> expected;
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), attempt.begin(), attempt.end());
    EXPECT_EQ(line->reads, expected);
    EXPECT_EQ(pauses, (std::vector<uint32_t>{4, 4, 4}));

    // The same probe at 1200 bit/s, the slowest rate, with its longer pause.
    auto& slow = Master(MODE_RTU, 1, 0);
    const uint32_t slowReply = 1000 + 15 * 17000 / 1200;
    EXPECT_EQ(costOf([&] { slow.ReadHoldingRegisters(3002, 1, out); }),
              3 * (1 + slowReply + 120000 / 1200 + 1));
    EXPECT_EQ(line->reads.size(), 6u);
}

TEST_F(ModbusMaster, BadAsciiRepliesAreRetriedThenReported) {
    struct Case {
        const char* name;
        std::string reply;
        const char* reasonKey;
    } cases[] = {
        {"lower-case digits", ":01030400ab00cd80\r\n", "mbio.invalid_response"},
        {"no CR LF", ":0103020001F9", "mbio.invalid_response"},
        // The good two-register reply below with its colon replaced: only the colon is wrong.
        {"no colon", "001030400010002F5\r\n", "mbio.invalid_response"},
        {"wrong LRC", ":0103020001F8\r\n", "mbio.crcerr"},
        {"one character", ":", "mbio.timeout"},
        // Decoded shorter or longer than asked: never taken for the registers.
        {"one register instead of two", ":0103020001F9\r\n", "mbio.invalid_response"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto& m = Master(MODE_ASCII);
        for (int i = 0; i < 3; ++i) line->replies.push_back(Ascii(c.reply));
        std::vector<uint16_t> out{0xBEEF, 0xBEEF};
        EXPECT_EQ(Failure([&] { m.ReadHoldingRegisters(0, 2, out); }),
                  CommError("ReadHoldingRegisters", 1, 2, c.reasonKey));
        EXPECT_EQ(line->written.size(), 3u);
        EXPECT_EQ(out, (std::vector<uint16_t>{0xBEEF, 0xBEEF}));
    }
    auto& m = Master(MODE_ASCII);
    line->replies = {Ascii(":01030400010002F5\r\n")};
    std::vector<uint16_t> out{0, 0};
    EXPECT_TRUE(m.ReadHoldingRegisters(0, 2, out));
    EXPECT_EQ(out, (std::vector<uint16_t>{1, 2}));
}

TEST_F(ModbusMaster, ReplyUnitFunctionAndWriteEchoAreNotCompared) {
    // Gateways answer with their own unit, and devices may answer the password write as a
    // register write: only length, checksum and the exception bit decide.
    auto& m = Master(MODE_RTU);
    line->replies = {Rtu(ReadReplyPdu(2, {0x0102})), Rtu({1, 16, 0, 0, 0, 8}),
                     Rtu({1, 16, 0, 11, 0, 2})};
    std::vector<uint16_t> out{0};
    EXPECT_TRUE(m.ReadHoldingRegisters(4, 1, out));
    EXPECT_EQ(out[0], 0x0102);
    const uint16_t words[8] = {};
    EXPECT_TRUE(m.WriteAuthentication(0, 8, words));
    EXPECT_TRUE(m.WriteMultipleRegisters(10, 2, words));
    EXPECT_EQ(line->written.size(), 3u);
}

TEST_F(ModbusMaster, WriteSendsValuesAndChecksTheEchoLength) {
    const uint16_t values[] = {0x0001, 0xA0B0};
    const Bytes request{1, 16, 0, 10, 0, 2, 4, 0x00, 0x01, 0xA0, 0xB0};
    {
        auto& m = Master(MODE_RTU);
        line->replies.push_back(Rtu({1, 16, 0, 10, 0, 2}));
        EXPECT_TRUE(m.WriteMultipleRegisters(10, 2, values));
        EXPECT_EQ(line->written, (std::vector<Bytes>{Rtu(request)}));
        // (11 + 6 + 4) bytes at 38400 bit/s on the write's 4000 ms base.
        EXPECT_EQ(line->replyTimeouts.back(), 4000u + 21 * 17000 / 38400);
    }
    for (const Bytes& echo : {Bytes{1, 16, 0, 11, 0}, Bytes{1, 16}}) {
        auto& m = Master(MODE_RTU);
        for (int i = 0; i < 3; ++i) line->replies.push_back(Rtu(echo));
        EXPECT_EQ(Failure([&] { m.WriteMultipleRegisters(10, 2, values); }),
                  CommError("WriteMultipleRegisters", 11, 2, "mbio.invalid_response"));
        EXPECT_EQ(line->written.size(), 3u);
    }
}

TEST_F(ModbusMaster, AuthenticationUsesFunction68AndNeverTracesThePassword) {
    auto& m = Master(MODE_RTU);
    const uint16_t password[8] = {0x7365, 0x6372, 0x6574};  // "secret"
    line->replies.push_back(Rtu({1, 68, 0, 0, 0, 8}));

    EXPECT_TRUE(m.WriteAuthentication(0, 8, password));

    ASSERT_EQ(line->written.size(), 1u);
    EXPECT_EQ(line->written[0][1], 68);
    EXPECT_EQ(line->written[0][7], 0x73);
    EXPECT_EQ(trace, (std::vector<std::string>{"WriteMultipleRegisters: adrs=1 size=8"}));

    // A refusal reads as a write failure, under the write's label.
    EXPECT_EQ(Failure([&] { m.WriteAuthentication(0, 8, password); }),
              CommError("WriteMultipleRegisters", 1, 8, "mbio.timeout"));
    for (const std::string& t : trace) EXPECT_THAT(t, testing::Not(HasSubstr("73")));
}

TEST_F(ModbusMaster, CancelEndsTheOperationWithoutFurtherRequests) {
    // During a read of several blocks: the current reply is taken, nothing more is asked.
    {
        auto& m = Master(MODE_RTU_SLOW);
        line->replies.push_back(Rtu(ReadReplyPdu(1, std::vector<uint16_t>(8, 5))));
        line->onWrite = [&m] { m.Cancel(); };
        std::vector<uint16_t> out(16);
        EXPECT_EQ(Failure([&] { m.ReadHoldingRegisters(0, 16, out); }), "");
        EXPECT_EQ(line->written.size(), 1u);
    }
    // During an attempt that fails: no further attempt, and no error text for the user.
    for (int mode : {MODE_RTU, MODE_RTU_SLOW}) {
        auto& m = Master(mode);
        line->onWrite = [&m] { m.Cancel(); };
        const uint16_t values[1] = {};
        EXPECT_EQ(Failure([&] { m.WriteMultipleRegisters(0, 1, values); }), "");
        EXPECT_EQ(line->written.size(), 1u);
    }
    // A cancel while nothing runs is forgotten when the next block starts.
    {
        auto& m = Master(MODE_RTU);
        m.Cancel();
        line->replies.push_back(Rtu(ReadReplyPdu(1, {9})));
        std::vector<uint16_t> out(1);
        EXPECT_TRUE(m.ReadHoldingRegisters(0, 1, out));
    }
}

TEST(SerialTiming, ReplyTimeoutAndSilentPause) {
    struct Case {
        uint32_t base;
        size_t bytes;
        int rate;
        uint32_t timeout;
    } cases[] = {
        {1000, 6 + 203 + 4, 38400, 1094},  // 100 registers
        {1000, 6 + 5 + 4, 1200, 1212},
        {4000, 23 + 6 + 4, 9600, 4058},
        {1000, 100, 0, 1000 + 1416},  // a nonsense rate falls back to 1200 bit/s
    };
    for (const Case& c : cases)
        EXPECT_EQ(modbus::SerialReplyTimeout(c.base, c.bytes, c.rate), c.timeout) << c.rate;
    EXPECT_EQ(modbus::RtuSilentPause(38400), 4u);
    EXPECT_EQ(modbus::RtuSilentPause(9600), 13u);
    EXPECT_EQ(modbus::RtuSilentPause(1200), 101u);
}

TEST_F(ModbusMaster, LongReadGetsItsTimeoutFromTheConfiguredRate) {
    for (auto [baudrate, timeout] : {std::pair{5, 1094u}, {0, 1000u + 213 * 17000 / 1200}}) {
        auto& m = Master(MODE_RTU, 1, baudrate);
        std::vector<uint16_t> values(100, 0x5A5A), out(100);
        line->replies.push_back(Rtu(ReadReplyPdu(1, values)));
        m.ReadHoldingRegisters(0, 100, out);
        EXPECT_EQ(line->written.size(), 1u);
        EXPECT_EQ(line->replyTimeouts.back(), timeout);
        EXPECT_EQ(out, values);
    }
}

TEST_F(ModbusMaster, OpenCloseAndRangeGuards) {
    auto& m = Master(MODE_RTU);
    m.Open();
    m.Open();  // reopening closes first
    EXPECT_EQ(line->opens, 2);
    EXPECT_GE(line->closes, 1);
    EXPECT_EQ(line->openedPath, "/dev/pts/fake");
    EXPECT_EQ(line->replyTimeouts, (std::vector<uint32_t>{3000, 3000}));
    m.Close();
    m.Close();

    std::vector<uint16_t> out(300);
    EXPECT_TRUE(m.ReadHoldingRegisters(0, 0, out));
    EXPECT_TRUE(line->written.empty());
    // Ranges the request cannot express, or larger than the caller's buffer, are refused.
    EXPECT_THROW(m.ReadHoldingRegisters(0, 2, std::span(out).first(1)), std::invalid_argument);
    EXPECT_THROW(m.ReadHoldingRegisters(65535, 2, out), std::invalid_argument);
    EXPECT_THROW(m.ReadHoldingRegisters(-1, 1, out), std::invalid_argument);
    EXPECT_TRUE(line->written.empty());
}

TEST_F(ModbusMaster, LongRangesGoOutInBlocksTheProtocolAllows) {
    // Longer ranges than one request may carry: a reply of 128 registers or more would not even
    // fit its byte count.
    struct Case {
        bool write;
        int count;
        std::vector<int> blocks;
    };
    for (const Case& c : {Case{false, 300, {125, 125, 50}}, Case{true, 250, {123, 123, 4}},
                          Case{false, 125, {125}}}) {
        auto& m = Master(MODE_RTU);
        std::vector<uint16_t> words(static_cast<size_t>(c.count));
        for (size_t k = 0; k < words.size(); ++k) words[k] = static_cast<uint16_t>(k + 1);
        int at = 0;
        for (int n : c.blocks) {
            if (c.write) {
                line->replies.push_back(Rtu({1, 16, 0, static_cast<uint8_t>(at), 0,
                                             static_cast<uint8_t>(n)}));
            } else {
                line->replies.push_back(Rtu(ReadReplyPdu(
                    1, std::vector<uint16_t>(words.begin() + at, words.begin() + at + n))));
            }
            at += n;
        }
        std::vector<uint16_t> out(words.size());
        if (c.write)
            EXPECT_TRUE(m.WriteMultipleRegisters(0, c.count, words));
        else
            EXPECT_TRUE(m.ReadHoldingRegisters(0, c.count, out));
        ASSERT_EQ(line->written.size(), c.blocks.size()) << c.count;
        at = 0;
        for (size_t b = 0; b < c.blocks.size(); ++b) {
            EXPECT_EQ(line->written[b][3], at) << c.count;  // address low byte
            EXPECT_EQ(line->written[b][5], c.blocks[b]) << c.count;
            at += c.blocks[b];
        }
        if (!c.write) {
            EXPECT_EQ(out, words);
        }
    }
}

TEST(ModbusMasterOnSerialPort, OpenOfAnAbsentPortNamesThePath) {
    testing_support::LoadEnglish();
    testing_support::TempDir dir;
    ComSettings s;
    s.COMPortName = dir.File("absent-port");
    CModbusInterface m(s);
    try {
        m.Open();
        ADD_FAILURE() << "opened an absent port";
    } catch (const CPrivateException& e) {
        EXPECT_THAT(e.Message(), HasSubstr(s.COMPortName));
    }
    m.Close();
}

}  // namespace
