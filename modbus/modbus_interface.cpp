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
}

CModbusLink& CModbusInterface::Link() {
    return *m_link;
}

void CModbusInterface::Open() {
    Close();
    Link().Open(m_settings);
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
        TraceLine(platform::FormatC("ReadHoldingRegisters: adrs=%d size=%d\n", at + 1, n));
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
        TraceLine(platform::FormatC("WriteMultipleRegisters: adrs=%d size=%d\n", at + 1, n));
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
            Attempt(exchange, reply);
            // A read ends as soon as its reply is in; a write's block is done on the device.
            if (exchange.cancelAfterReply && m_cancel) throw CPrivateException();
            return;
        } catch (const CPrivateException& e) {
            // The user asked to stop: say so, not what the last attempt ran into.
            if (m_cancel) throw CPrivateException();
            if (e.IsProtect() || attempt >= m_traits.attempts) throw;
        }
    }
}

void CModbusInterface::Attempt(const Exchange& exchange, std::span<uint8_t> reply) {
    CModbusLink& link = Link();
    std::fill(reply.begin(), reply.end(), 0);
    const uint16_t transaction = link.SendRequest(exchange.request);
    link.SetReplyTimeout(exchange.baseTimeoutMs,
                         exchange.request.size() + reply.size() + kChecksumBytes);
    const LinkReply got = link.ReceiveReply(reply);
    CheckReply(exchange, reply, got, transaction);
}

void CModbusInterface::CheckReply(const Exchange& exchange, std::span<const uint8_t> reply,
                                  const LinkReply& got, uint16_t transaction) const {
    const std::vector<uint8_t>& request = exchange.request;
    auto invalid = [&] {
        TraceLine("Invalid response\n");
        RaiseCommError(exchange, INVALID_RESPONSE);
    };
    if (got.fault == LinkReply::CHECKSUM) RaiseCommError(exchange, CRC_ERROR);
    if (got.fault == LinkReply::MALFORMED) invalid();
    if (got.length == 0) {
        TraceLine("Timeout\n");
        RaiseCommError(exchange, TIMEOUT);
    }
    if (got.transaction != transaction) {
        TraceLine("Invalid transaction\n");
        RaiseCommError(exchange, INVALID_TRANSACTION);
    }
    // The unit and function of the answer are not compared: radio gateways may answer with their
    // own unit, and devices answer the password write like any register write.
    if (got.length > 2 && (reply[1] & 0x80)) {
        const int code = reply[2];
        TraceLine(platform::FormatC("Exception %d\n", code));
        if (code == kProtectCodeLocked || code == kProtectCodePassword)
            RaiseCommError(exchange, PROTECTED);
        RaiseCommError(exchange, EXCEPTION, code);
    }
    // Exactly the expected length: a short or long answer must never pass for the registers.
    if (got.length != reply.size()) invalid();
    // A read must announce the registers it carries; a write's echo is relied on for its length
    // only.
    if (request[1] == modbus::FC_READ_HOLDING_REGISTERS && reply[2] != 2 * request[5]) invalid();
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
