// Modbus serial framings: RTU with CRC-16 and ASCII with LRC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace modbus {

// CRC-16/MODBUS computed with the two published 256-entry tables; the frame carries the result's
// low byte first.
uint16_t Crc16(std::span<const uint8_t> data);
// Two's complement of the 8-bit sum of the bytes.
uint8_t Lrc(std::span<const uint8_t> data);

// The data unit followed by its CRC, low byte first.
std::vector<uint8_t> RtuFrame(std::span<const uint8_t> pdu);
// Whether a received RTU frame (data unit + CRC) carries a correct CRC.
bool RtuCrcOk(std::span<const uint8_t> frame);

// ':' + two upper-case hex digits per byte + LRC + CR LF.
std::vector<uint8_t> AsciiFrame(std::span<const uint8_t> pdu);
// The data unit of an ASCII frame (without the LRC) when the frame is well formed and its LRC
// matches; nothing otherwise. lrcOk tells a checksum failure apart from a malformed frame: it is
// false only when a well-formed frame carries a wrong LRC. Either case of hex digit is accepted.
std::optional<std::vector<uint8_t>> AsciiDecode(std::span<const uint8_t> frame,
                                                bool* lrcOk = nullptr);

enum class AsciiStatus { Ok, Malformed, LrcMismatch };
// The master's strict reading of an ASCII reply: ':', upper-case hex digit pairs, LRC, CR LF.
// pdu receives the data unit without the LRC when the result is Ok.
AsciiStatus AsciiDecodeReply(std::span<const uint8_t> frame, std::vector<uint8_t>& pdu);

// Data units (unit identifier first, before the framing).
inline constexpr uint8_t FC_READ_HOLDING_REGISTERS = 3;
inline constexpr uint8_t FC_WRITE_MULTIPLE_REGISTERS = 16;
inline constexpr uint8_t FC_WRITE_AUTHENTICATION = 68;
// The most registers one request may carry: a read reply holds at most 250 data bytes, a write
// request 246. The master splits longer ranges; devices refuse anything beyond.
inline constexpr int kMaxReadCount = 125;
inline constexpr int kMaxWriteCount = 123;

// unit, 3, address high, address low, 0, count.
std::vector<uint8_t> ReadRequest(uint8_t unit, uint16_t address, uint8_t count);
// unit, function, address high, address low, 0, count, 2 x count, values high byte first.
std::vector<uint8_t> WriteRequest(uint8_t unit, uint8_t function, uint16_t address,
                                  std::span<const uint16_t> values);
// Length of the normal reply to a request: 2 x count + 3 for a read, 6 for a write.
size_t ExpectedReplyLength(std::span<const uint8_t> request);

}  // namespace modbus
