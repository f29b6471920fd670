// The device password as it travels: eight registers, two characters each, first in the high byte.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

using PasswordWords = std::array<uint16_t, 8>;

enum class PasswordCheck { Ok, Empty, TooLong, BadCharacter };

// At most 16 characters, each up to U+00FF (one byte on the wire); a character above that would
// spill into its neighbour's byte, so it is refused rather than sent corrupted.
PasswordCheck PackPassword(std::string_view utf8, PasswordWords& words);

// Message key for a refused password ("passtoolong", "passchars"); empty for Ok and Empty.
const char* PasswordErrorKey(PasswordCheck check);
