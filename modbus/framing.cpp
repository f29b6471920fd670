#include "modbus/framing.h"

#include <array>

namespace modbus {
namespace {

// The high-byte and low-byte tables of the Modbus serial line CRC (reflected polynomial 0xA001),
// built at compile time; they equal the published tables entry for entry.
struct CrcTables {
    std::array<uint8_t, 256> hi{}, lo{};
};

constexpr CrcTables MakeCrcTables() {
    CrcTables t;
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
        t.hi[i] = static_cast<uint8_t>(crc & 0xFF);
        t.lo[i] = static_cast<uint8_t>(crc >> 8);
    }
    return t;
}

constexpr CrcTables kCrc = MakeCrcTables();
static_assert(kCrc.hi[1] == 0xC1 && kCrc.lo[1] == 0xC0 && kCrc.hi[255] == 0x40 &&
              kCrc.lo[255] == 0x40);

constexpr char kHex[] = "0123456789ABCDEF";

int HexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

uint16_t Crc16(std::span<const uint8_t> data) {
    uint8_t hi = 0xFF, lo = 0xFF;
    for (uint8_t b : data) {
        uint8_t i = b ^ hi;
        hi = lo ^ kCrc.hi[i];
        lo = kCrc.lo[i];
    }
    return static_cast<uint16_t>((lo << 8) | hi);
}

uint8_t Lrc(std::span<const uint8_t> data) {
    uint8_t sum = 0;
    for (uint8_t b : data) sum = static_cast<uint8_t>(sum + b);
    return static_cast<uint8_t>(-sum);
}

std::vector<uint8_t> RtuFrame(std::span<const uint8_t> pdu) {
    std::vector<uint8_t> frame(pdu.begin(), pdu.end());
    uint16_t crc = Crc16(pdu);
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

bool RtuCrcOk(std::span<const uint8_t> frame) {
    if (frame.size() < 3) return false;
    uint16_t crc = Crc16(frame.first(frame.size() - 2));
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

std::vector<uint8_t> AsciiFrame(std::span<const uint8_t> pdu) {
    std::vector<uint8_t> frame;
    frame.reserve(pdu.size() * 2 + 5);
    frame.push_back(':');
    auto put = [&](uint8_t b) {
        frame.push_back(static_cast<uint8_t>(kHex[b >> 4]));
        frame.push_back(static_cast<uint8_t>(kHex[b & 0x0F]));
    };
    for (uint8_t b : pdu) put(b);
    put(Lrc(pdu));
    frame.push_back('\r');
    frame.push_back('\n');
    return frame;
}

namespace {

// ':' + digit pairs + CR LF, the last pair being the LRC.
AsciiStatus DecodeAscii(std::span<const uint8_t> frame, bool upperOnly, std::vector<uint8_t>& pdu) {
    pdu.clear();
    if (frame.size() < 5 || frame[0] != ':' || frame[frame.size() - 2] != '\r' ||
        frame[frame.size() - 1] != '\n')
        return AsciiStatus::Malformed;
    const auto digits = frame.subspan(1, frame.size() - 3);
    if (digits.size() % 2 != 0) return AsciiStatus::Malformed;
    auto value = [upperOnly](uint8_t c) { return upperOnly && c >= 'a' ? -1 : HexValue(c); };
    pdu.reserve(digits.size() / 2);
    for (size_t i = 0; i < digits.size(); i += 2) {
        int h = value(digits[i]), l = value(digits[i + 1]);
        if (h < 0 || l < 0) return AsciiStatus::Malformed;
        pdu.push_back(static_cast<uint8_t>(h << 4 | l));
    }
    uint8_t lrc = pdu.back();
    pdu.pop_back();
    return Lrc(pdu) == lrc ? AsciiStatus::Ok : AsciiStatus::LrcMismatch;
}

}  // namespace

std::optional<std::vector<uint8_t>> AsciiDecode(std::span<const uint8_t> frame, bool* lrcOk) {
    std::vector<uint8_t> pdu;
    AsciiStatus status = DecodeAscii(frame, false, pdu);
    if (lrcOk) *lrcOk = status != AsciiStatus::LrcMismatch;
    if (status != AsciiStatus::Ok) return std::nullopt;
    return pdu;
}

AsciiStatus AsciiDecodeReply(std::span<const uint8_t> frame, std::vector<uint8_t>& pdu) {
    return DecodeAscii(frame, true, pdu);
}

std::vector<uint8_t> ReadRequest(uint8_t unit, uint16_t address, uint8_t count) {
    return {unit,
            FC_READ_HOLDING_REGISTERS,
            static_cast<uint8_t>(address >> 8),
            static_cast<uint8_t>(address & 0xFF),
            0,
            count};
}

std::vector<uint8_t> WriteRequest(uint8_t unit, uint8_t function, uint16_t address,
                                  std::span<const uint16_t> values) {
    const auto count = static_cast<uint8_t>(values.size());
    std::vector<uint8_t> pdu{
        unit, function, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address & 0xFF),
        0,    count,    static_cast<uint8_t>(2 * count)};
    for (uint16_t v : values) {
        pdu.push_back(static_cast<uint8_t>(v >> 8));
        pdu.push_back(static_cast<uint8_t>(v & 0xFF));
    }
    return pdu;
}

size_t ExpectedReplyLength(std::span<const uint8_t> request) {
    if (request.size() >= 6 && request[1] == FC_READ_HOLDING_REGISTERS) return 2u * request[5] + 3;
    return 6;
}

}  // namespace modbus
