// UTF-8 helpers and C-locale number conversions (the user's locale must never change how
// a number is written or read).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Code points of a UTF-8 text; an invalid byte becomes U+FFFD.
std::vector<char32_t> DecodeUtf8(std::string_view text);
std::string EncodeUtf8(char32_t cp);
// The text with every invalid sequence replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view text);
size_t CountCodePoints(std::string_view text);
// The text made safe for a terminal: invalid sequences become U+FFFD, and every control
// character (C0, DEL, C1) a visible escape such as \x1b or \u009b.
std::string EscapeControls(std::string_view text);
// Number of UTF-16 code units the text takes.
size_t CountUtf16Units(std::string_view text);

// printf in the C locale.
std::string FormatC(const char* format, ...) __attribute__((format(printf, 1, 2)));

// strtod in the C locale; end receives the position after the number.
double StrToDouble(const char* text, char** end);

}  // namespace platform
