#include "modbus/modbus_interface.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "app/private_exception.h"
#include "concurrency/timer_thread.h"
#include "modbus/framing.h"
#include "modbus/network_link.h"
#include "platform/text.h"
#include "platform/trace.h"

namespace {

constexpr std::string_view kReadLabel = "ReadHoldingRegisters";
constexpr std::string_view kWriteLabel = "WriteMultipleRegisters";
constexpr uint32_t kReadBaseTimeoutMs = 1000;
constexpr uint32_t kWriteBaseTimeoutMs = 4000;
constexpr size_t kChecksumBytes = 4;  // the CRCs of request and reply
constexpr int kAddressSpace = 0x10000;
constexpr int kProtectCodeLocked = 20;
constexpr int kProtectCodePassword = 21;

void TraceLine(const std::string& line) {
    if (platform::TraceEnabled()) platform::Trace(line);
}

void SleepFor(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A caller's range must fit the address space and the words it hands over.
void CheckRange(int address, int count, size_t words) {
    if (address < 0 || address + count > kAddressSpace || static_cast<size_t>(count) > words)
        throw std::invalid_argument("register range outside the buffer or the address space");
}

}  // namespace

ModeTraits TraitsOfMode(int mode) {
    switch (mode) {
        case MODE_TCP:
            return {ModeTraits::NETWORK_TCP, -1, 10000, 3, 0};
        case MODE_RTU_SLOW:
            return {ModeTraits::SERIAL_RTU, 1, 8, 10, 1200};
        case MODE_UDP_BROADCAST:
            return {ModeTraits::NETWORK_UDP, -1, 10000, 3, 0};
        case MODE_ASCII:
            return {ModeTraits::SERIAL_ASCII, -1, 10000, 3, 0};
        default:
            return {ModeTraits::SERIAL_RTU, -1, 10000, 3, 0};
    }
}

CModbusInterface::CModbusInterface(const ComSettings& settings,
                                   std::unique_ptr<CByteTransport> serial)
    : m_settings(settings),
      m_serial(std::move(serial)),
      m_sleep(SleepFor),
      m_tcpReplyMs(modbus::kNetworkReplyTimeoutMs),
      m_broadcastWaitMs(modbus::kBroadcastWaitMs) {
    if (!m_serial) throw std::invalid_argument("the master needs a serial transport");
    RebuildLink();
}

CModbusInterface::~CModbusInterface() {
    Close();
}

void CModbusInterface::SetSettings(const ComSettings& settings) {
    Close();
    m_settings = settings;
    RebuildLink();
}

void CModbusInterface::SetNetworkTimeouts(uint32_t tcpReplyMs, uint32_t broadcastWaitMs) {
    Close();
    m_tcpReplyMs = tcpReplyMs;
    m_broadcastWaitMs = broadcastWaitMs;
    RebuildLink();
}

void CModbusInterface::RebuildLink() {
    m_traits = TraitsOfMode(m_settings.Mode);
    const int rate = m_settings.BaudRate();
    const int timeoutRate = m_traits.timeoutRate ? m_traits.timeoutRate : rate;
    switch (m_traits.link) {
        case ModeTraits::SERIAL_RTU:
            m_link = std::make_unique<modbus::CRtuLink>(*m_serial, timeoutRate, rate, m_sleep);
            break;
        case ModeTraits::SERIAL_ASCII:
            m_link = std::make_unique<modbus::CAsciiLink>(*m_serial, timeoutRate);
            break;
        case ModeTraits::NETWORK_TCP:
            m_link = std::make_unique<modbus::CTcpLink>(*this, m_cancel, m_tcpReplyMs);
            break;
        case ModeTraits::NETWORK_UDP:
            m_link = std::make_unique<modbus::CUdpLink>(m_cancel, m_broadcastWaitMs);
            break;
    }
    m_tap.clock = m_clock;
    m_link->AttachTap(&m_tap);
}

CModbusLink& CModbusInterface::Link() {
    return *m_link;
}

void CModbusInterface::Open() {
    Close();
    Link().Open(m_settings);
    m_recover = false;
}

void CModbusInterface::Close() {
    if (m_link) m_link->Close();
    if (m_serial) m_serial->Close();
}

void CModbusInterface::Cancel() {
    m_cancel = true;
    if (m_link) m_link->Cancel();
}

void CModbusInterface::Update(CObservable* source) {
    // Only the watchdog of an open Modbus/TCP connection notifies the master.
    if (dynamic_cast<CTimerThread*>(source) && m_traits.link == ModeTraits::NETWORK_TCP && m_link &&
        m_link->IsBlocking())
        m_link->CancelBlockingCall();
}

uint8_t CModbusInterface::UnitIdentifier() const {
    const int unit = m_traits.fixedUnit >= 0 ? m_traits.fixedUnit : m_settings.Address;
    return static_cast<uint8_t>(unit & 0xFF);
}

bool CModbusInterface::ReadHoldingRegisters(int address, int count, std::span<uint16_t> out) {
    if (count <= 0) return true;
    CheckRange(address, count, out.size());
    const int block = std::min(m_traits.blockSize, modbus::kMaxReadCount);
    for (int index = 0; index < count; index += block) {
        const int n = std::min(block, count - index);
        const int at = address + index;
        TraceLine(platform::FormatC("ReadHoldingRegisters: adrs=%d size=%d", at + 1, n));
        const Exchange exchange{kReadLabel,
                                at,
                                n,
                                modbus::ReadRequest(UnitIdentifier(), static_cast<uint16_t>(at),
                                                    static_cast<uint8_t>(n)),
                                kReadBaseTimeoutMs,
                                true};
        std::vector<uint8_t> reply(2 * n + 3);
        RunBlock(exchange, reply);
        for (int k = 0; k < n; ++k)
            out[index + k] = static_cast<uint16_t>(reply[3 + 2 * k] << 8 | reply[4 + 2 * k]);
    }
    return true;
}

bool CModbusInterface::WriteMultipleRegisters(int address, int count,
                                              std::span<const uint16_t> in) {
    return WriteRegisters(modbus::FC_WRITE_MULTIPLE_REGISTERS, address, count, in);
}

bool CModbusInterface::WriteAuthentication(int address, int count, std::span<const uint16_t> in) {
    return WriteRegisters(modbus::FC_WRITE_AUTHENTICATION, address, count, in);
}

bool CModbusInterface::WriteRegisters(uint8_t function, int address, int count,
                                      std::span<const uint16_t> in) {
    if (count <= 0) return true;
    CheckRange(address, count, in.size());
    const int block = std::min(m_traits.blockSize, modbus::kMaxWriteCount);
    for (int index = 0; index < count; index += block) {
        const int n = std::min(block, count - index);
        const int at = address + index;
        // Only address and count: a function 68 block holds the password.
        TraceLine(platform::FormatC("WriteMultipleRegisters: adrs=%d size=%d", at + 1, n));
        const Exchange exchange{
            kWriteLabel,
            at,
            n,
            modbus::WriteRequest(UnitIdentifier(), function, static_cast<uint16_t>(at),
                                 in.subspan(index, n)),
            kWriteBaseTimeoutMs,
            false};
        std::vector<uint8_t> reply(6);
        RunBlock(exchange, reply);
    }
    return true;
}

void CModbusInterface::RunBlock(const Exchange& exchange, std::span<uint8_t> reply) {
    m_cancel = false;
    for (int attempt = 1;; ++attempt) {
        try {
            if (attempt > 1) NoteRetry(attempt);
            if (m_recover) {
                m_recover = false;
                Link().Recover();
            }
            Attempt(exchange, reply, attempt);
            // A read ends as soon as its reply is in; a write's block is done on the device.
            if (exchange.cancelAfterReply && m_cancel) throw CPrivateException();
            return;
        } catch (const CPrivateException& e) {
            // The user asked to stop: say so, not what the last attempt ran into.
            if (m_cancel) throw CPrivateException();
            // What is left of a failed exchange must not meet the next request, in this block or
            // the next; a refusal for the password is a whole, clean answer.
            if (!e.IsProtect()) m_recover = true;
            if (e.IsProtect() || attempt >= m_traits.attempts) throw;
        }
    }
}

void CModbusInterface::Attempt(const Exchange& exchange, std::span<uint8_t> reply, int attempt) {
    CModbusLink& link = Link();
    std::fill(reply.begin(), reply.end(), 0);
    m_tap.keepBytes = Recording();
    m_tap.receivedUs = 0;
    if (m_tap.keepBytes) {
        m_tap.stale.clear();
        m_tap.sent.clear();
        m_tap.received.clear();
    }
    const uint16_t transaction = link.SendRequest(exchange.request);
    const int64_t sentUs = m_clock->MonotonicUs();
    NoteRequest(exchange, sentUs);
    link.SetReplyTimeout(exchange.baseTimeoutMs,
                         exchange.request.size() + reply.size() + kChecksumBytes);
    const LinkReply got = link.ReceiveReply(reply);
    if (m_tap.receivedUs == 0) m_tap.receivedUs = m_clock->MonotonicUs();
    const Verdict verdict = CheckReply(exchange, reply, got, transaction);
    NoteReply(exchange, verdict, sentUs, attempt);
    if (verdict.reason != REPLY_OK) RaiseCommError(exchange, verdict.reason, verdict.code);
}

CModbusInterface::Verdict CModbusInterface::CheckReply(const Exchange& exchange,
                                                       std::span<const uint8_t> reply,
                                                       const LinkReply& got,
                                                       uint16_t transaction) const {
    const std::vector<uint8_t>& request = exchange.request;
    auto invalid = [] {
        TraceLine("Invalid response");
        return Verdict{INVALID_RESPONSE};
    };
    if (got.fault == LinkReply::CHECKSUM) return {CRC_ERROR};
    if (got.fault == LinkReply::MALFORMED) return invalid();
    if (got.length == 0) {
        TraceLine("Timeout");
        return {TIMEOUT};
    }
    if (got.transaction != transaction) {
        TraceLine("Invalid transaction");
        return {INVALID_TRANSACTION, got.transaction};
    }
    // The unit and function of the answer are not compared: radio gateways may answer with their
    // own unit, and devices answer the password write like any register write.
    if (got.length > 2 && (reply[1] & 0x80)) {
        const int code = reply[2];
        TraceLine(platform::FormatC("Exception %d", code));
        if (code == kProtectCodeLocked || code == kProtectCodePassword) return {PROTECTED, code};
        return {EXCEPTION, code};
    }
    // Exactly the expected length: a short or long answer must never pass for the registers.
    if (got.length != reply.size()) return invalid();
    // A read must announce the registers it carries; a write's echo is relied on for its length
    // only.
    if (request[1] == modbus::FC_READ_HOLDING_REGISTERS && reply[2] != 2 * request[5])
        return invalid();
    return {};
}

// ---- traffic record and statistics ----

namespace {

using modbus::TrafficDirection;
using modbus::TrafficKind;

std::string Text(std::string_view key, std::initializer_list<platform::FormatArg> args = {}) {
    return CPrivateException(CPrivateException::Key{key}, args).Message();
}

// "3001–3004 (4 registers)" in the words of the key's texts; shown addresses are 1-based.
std::string RangeText(const char* key, int address, int count) {
    if (count == 1) return Text(platform::FormatC("%s1", key), {int32_t{address + 1}});
    return Text(key, {int32_t{address + 1}, int32_t{address + count}, int32_t{count}});
}

std::string ExceptionText(int code) {
    std::string what = g_resources.GetMessageText(platform::FormatC("traffic.exc%d", code));
    if (what.empty()) what = Text("traffic.excunknown");
    return Text("traffic.exception", {int32_t{code}, what});
}

// Where the data unit starts in a request frame, and how many trailing bytes are not its data.
struct FrameLayout {
    size_t head;
    size_t tail;
    size_t unitWidth;  // wire bytes per data-unit byte
};

FrameLayout LayoutOf(ModeTraits::Link link) {
    switch (link) {
        case ModeTraits::SERIAL_ASCII:
            return {1, 2, 2};  // ':' ... CR LF
        case ModeTraits::NETWORK_TCP:
            return {modbus::kTcpHeaderBytes, 0, 1};
        case ModeTraits::NETWORK_UDP:
            return {modbus::kUdpHeaderBytes, 0, 1};
        case ModeTraits::SERIAL_RTU:
            break;
    }
    return {0, 0, 1};
}

modbus::TrafficFraming FramingOf(ModeTraits::Link link) {
    switch (link) {
        case ModeTraits::SERIAL_ASCII:
            return modbus::TrafficFraming::ASCII;
        case ModeTraits::NETWORK_TCP:
            return modbus::TrafficFraming::TCP;
        case ModeTraits::NETWORK_UDP:
            return modbus::TrafficFraming::UDP;
        case ModeTraits::SERIAL_RTU:
            break;
    }
    return modbus::TrafficFraming::RTU;
}

// The bytes of a password request after its byte count: the password itself.
constexpr size_t kWriteDataOffset = 7;

}  // namespace

void CModbusInterface::AddTrafficListener(modbus::CTrafficListener* listener) {
    if (!listener) return;
    std::lock_guard lock(m_listenerMutex);
    if (std::find(m_listeners.begin(), m_listeners.end(), listener) == m_listeners.end())
        m_listeners.push_back(listener);
    m_recording = true;
}

void CModbusInterface::RemoveTrafficListener(modbus::CTrafficListener* listener) {
    std::lock_guard lock(m_listenerMutex);
    std::erase(m_listeners, listener);
    m_recording = !m_listeners.empty();
}

void CModbusInterface::SetTrafficClock(const modbus::CTrafficClock& clock) {
    m_clock = &clock;
    m_tap.clock = &clock;
}

modbus::TrafficStatistics CModbusInterface::Statistics() const {
    std::lock_guard lock(m_statsMutex);
    return m_stats;
}

modbus::TrafficStatistics CModbusInterface::SessionStatistics() const {
    std::lock_guard lock(m_statsMutex);
    return m_sessionStats;
}

void CModbusInterface::ResetStatistics() {
    std::lock_guard lock(m_statsMutex);
    m_stats = {};
}

void CModbusInterface::BeginStatisticsSession() {
    std::lock_guard lock(m_statsMutex);
    m_sessionStats = {};
}

template <typename Fn>
void CModbusInterface::Count(Fn&& change) {
    std::lock_guard lock(m_statsMutex);
    change(m_stats);
    change(m_sessionStats);
}

void CModbusInterface::Deliver(const modbus::TrafficEntry& entry) {
    std::lock_guard lock(m_listenerMutex);
    for (modbus::CTrafficListener* listener : m_listeners) listener->OnTraffic(entry);
}

modbus::TrafficEntry CModbusInterface::Entry(TrafficDirection direction, TrafficKind kind,
                                             int64_t monotonicUs) const {
    modbus::TrafficEntry e;
    e.monotonicUs = monotonicUs;
    e.wallUs = m_clock->WallUs() - (m_clock->MonotonicUs() - monotonicUs);
    e.direction = direction;
    e.framing = FramingOf(m_traits.link);
    e.kind = kind;
    return e;
}

std::string CModbusInterface::MaskedRequestBytes(const Exchange& exchange) const {
    const std::vector<uint8_t>& frame = m_tap.sent;
    if (exchange.request[1] != modbus::FC_WRITE_AUTHENTICATION) return modbus::HexBytes(frame);
    // The password, and the checksum computed from it, never reach a record.
    const FrameLayout layout = LayoutOf(m_traits.link);
    const size_t from = std::min(frame.size(), layout.head + kWriteDataOffset * layout.unitWidth);
    const size_t to = frame.size() >= from + layout.tail ? frame.size() - layout.tail : from;
    std::string hex = modbus::HexBytes(std::span(frame).first(from));
    for (size_t i = from; i < to; ++i) hex += hex.empty() ? "**" : " **";
    const std::string tail = modbus::HexBytes(std::span(frame).subspan(to));
    if (!tail.empty()) hex += (hex.empty() ? "" : " ") + tail;
    return hex;
}

void CModbusInterface::NoteRetry(int attempt) {
    Count([](modbus::TrafficStatistics& s) { ++s.retries; });
    if (!Recording()) return;
    modbus::TrafficEntry e =
        Entry(TrafficDirection::EVENT, TrafficKind::RETRY, m_clock->MonotonicUs());
    e.meaning = Text("traffic.retry", {int32_t{attempt}, int32_t{m_traits.attempts}});
    Deliver(e);
}

void CModbusInterface::NoteRequest(const Exchange& exchange, int64_t sentUs) {
    Count([](modbus::TrafficStatistics& s) { ++s.requests; });
    if (!Recording()) return;
    if (!m_tap.stale.empty()) {
        modbus::TrafficEntry stale = Entry(TrafficDirection::RX, TrafficKind::STALE_BYTES, sentUs);
        stale.bytes = modbus::HexBytes(m_tap.stale);
        stale.meaning = Text("traffic.stale", {static_cast<int32_t>(m_tap.stale.size())});
        Deliver(stale);
    }
    modbus::TrafficEntry e = Entry(TrafficDirection::TX, TrafficKind::REQUEST, sentUs);
    e.bytes = MaskedRequestBytes(exchange);
    const uint8_t function = exchange.request[1];
    const char* key = function == modbus::FC_READ_HOLDING_REGISTERS ? "traffic.read"
                      : function == modbus::FC_WRITE_AUTHENTICATION ? "traffic.password"
                                                                    : "traffic.write";
    e.meaning = RangeText(key, exchange.address, exchange.count);
    Deliver(e);
}

void CModbusInterface::NoteReply(const Exchange& exchange, const Verdict& verdict, int64_t sentUs,
                                 int attempt) {
    const int64_t waitedUs = std::max<int64_t>(0, m_tap.receivedUs - sentUs);
    const bool isRead = exchange.request[1] == modbus::FC_READ_HOLDING_REGISTERS;
    TrafficKind kind = TrafficKind::REPLY;
    switch (verdict.reason) {
        case REPLY_OK: {
            const int64_t wall = m_clock->WallUs();
            Count([&](modbus::TrafficStatistics& s) {
                s.AddReply(waitedUs);
                s.lastGoodReplyWallUs = wall;
            });
            break;
        }
        case EXCEPTION:
        case PROTECTED:
            kind = TrafficKind::EXCEPTION;
            Count([&](modbus::TrafficStatistics& s) {
                s.AddReply(waitedUs);
                ++s.exceptions;
            });
            break;
        case TIMEOUT:
            kind = TrafficKind::TIMEOUT;
            Count([](modbus::TrafficStatistics& s) { ++s.timeouts; });
            break;
        case CRC_ERROR:
            kind = TrafficKind::CHECKSUM_ERROR;
            Count([](modbus::TrafficStatistics& s) { ++s.checksumErrors; });
            break;
        case INVALID_RESPONSE:
        case INVALID_TRANSACTION:
            kind = TrafficKind::INVALID_REPLY;
            Count([](modbus::TrafficStatistics& s) { ++s.invalidReplies; });
            break;
    }
    if (!Recording()) return;
    const bool bytes = !m_tap.received.empty();
    modbus::TrafficEntry e =
        Entry(bytes ? TrafficDirection::RX : TrafficDirection::EVENT, kind, m_tap.receivedUs);
    e.bytes = modbus::HexBytes(m_tap.received);
    e.responseUs = waitedUs;
    switch (verdict.reason) {
        case REPLY_OK:
            e.meaning =
                isRead ? (exchange.count == 1 ? Text("traffic.reply1")
                                              : Text("traffic.reply", {int32_t{exchange.count}}))
                       : RangeText("traffic.written", exchange.address, exchange.count);
            break;
        case EXCEPTION:
        case PROTECTED:
            e.meaning = ExceptionText(verdict.code);
            break;
        case TIMEOUT:
            e.meaning = Text("traffic.timeout", {int64_t{(waitedUs + 500) / 1000}, int32_t{attempt},
                                                 int32_t{m_traits.attempts}});
            break;
        case CRC_ERROR:
            e.meaning = Text("traffic.crc");
            break;
        case INVALID_RESPONSE:
            e.meaning = Text("traffic.invalid");
            break;
        case INVALID_TRANSACTION:
            e.meaning = Text("traffic.transaction", {int32_t{verdict.code}});
            break;
    }
    Deliver(e);
}

void CModbusInterface::RaiseCommError(const Exchange& exchange, Reason reason,
                                      int exceptionCode) const {
    if (reason == PROTECTED) throw CPrivateException(std::string(CPrivateException::kProtect));
    // Indexed by Reason; only the exception text takes an insert, the others ignore it.
    static constexpr std::string_view kReasonKeys[] = {"mbio.timeout", "mbio.invalid_transaction",
                                                       "mbio.invalid_response", "mbio.crcerr",
                                                       "mbio.exception"};
    const std::string why =
        CPrivateException(CPrivateException::Key{kReasonKeys[reason]}, {int32_t{exceptionCode}})
            .Message();
    throw CPrivateException(
        CPrivateException::Key{"mbio.message"},
        {std::string(exchange.label), int32_t{exchange.address + 1}, int32_t{exchange.count}, why});
}
