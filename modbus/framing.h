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
// matches; nothing otherwise. lrcOk tells a checksum failure apart from a malformed frame.
std::optional<std::vector<uint8_t>> AsciiDecode(std::span<const uint8_t> frame, bool* lrcOk = nullptr);

}  // namespace modbus
