// Message templates with numbered inserts, in the Win32 FormatMessage string syntax.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace platform {

// One insert argument. The kind of the argument decides how a mismatching conversion is
// rendered, so that a wrong template never reads the wrong kind of value.
using FormatArg = std::variant<std::string, int32_t, uint32_t, int64_t, uint64_t>;

// Expands %1..%99 (optionally followed by a printf conversion between exclamation marks,
// default !s!), %n (line break), %% and the other %-escapes. A malformed template or a
// missing argument never fails: the offending characters are copied as they stand.
std::string FormatMessageText(std::string_view templ, std::span<const FormatArg> args);

inline std::string FormatMessageText(std::string_view templ,
                                     std::initializer_list<FormatArg> args) {
    return FormatMessageText(templ, std::span<const FormatArg>(args.begin(), args.size()));
}

}  // namespace platform
