#include "platform/message_format.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <type_traits>

namespace platform {
namespace {

// A printf conversion taken from between the exclamation marks.
struct Conversion {
    std::string flags;
    std::string width;
    std::string precision;  // with its leading '.'
    bool wide = false;      // 64-bit length modifier (I64, ll, j, z, t)
    char conv = 's';
};

// Parses e.g. "d", "-10s", "04X", "I64d", "lld", "u". Returns false when it is not a conversion.
bool ParseConversion(std::string_view spec, Conversion& out) {
    size_t i = 0;
    while (i < spec.size() && std::string_view("-+ #0").find(spec[i]) != std::string_view::npos)
        out.flags += spec[i++];
    while (i < spec.size() && std::isdigit(static_cast<unsigned char>(spec[i])))
        out.width += spec[i++];
    if (i < spec.size() && spec[i] == '.') {
        out.precision += spec[i++];
        while (i < spec.size() && std::isdigit(static_cast<unsigned char>(spec[i])))
            out.precision += spec[i++];
    }
    if (out.width.size() > 3 || out.precision.size() > 4) return false;  // keeps output bounded
    auto rest = spec.substr(i);
    for (std::string_view m : {"I64", "ll", "j", "z", "t"}) {
        if (rest.starts_with(m)) {
            out.wide = true;
            rest.remove_prefix(m.size());
            break;
        }
    }
    for (std::string_view m : {"I32", "hh", "h", "l", "w", "L"}) {
        if (!out.wide && rest.starts_with(m)) {
            rest.remove_prefix(m.size());
            break;
        }
    }
    if (rest.size() != 1) return false;
    if (std::string_view("diouxXcsSeEfgGaAp").find(rest[0]) == std::string_view::npos) return false;
    out.conv = rest[0] == 'S' ? 's' : rest[0];
    return true;
}

std::string Printf(const std::string& fmt, auto value) {
    char buf[1200];
    int n = std::snprintf(buf, sizeof buf, fmt.c_str(), value);
    if (n < 0) return {};
    return std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

std::string ArgAsText(const FormatArg& arg) {
    return std::visit(
        [](const auto& v) -> std::string {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>)
                return v;
            else
                return std::to_string(v);
        },
        arg);
}

std::string Render(const Conversion& c, const FormatArg& arg) {
    std::string head = "%" + c.flags + c.width + c.precision;
    if (c.conv == 's' || std::holds_alternative<std::string>(arg)) {
        // A string conversion, or a number conversion given a string: insert the text itself.
        return Printf(head + "s", ArgAsText(arg).c_str());
    }
    const bool is64 = std::holds_alternative<int64_t>(arg) || std::holds_alternative<uint64_t>(arg);
    const int64_t s = std::visit(
        [](const auto& v) -> int64_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>)
                return 0;
            else
                return static_cast<int64_t>(v);
        },
        arg);
    const bool narrow = !c.wide && !is64;  // a 32-bit conversion of a 32-bit value
    switch (c.conv) {
        case 'd':
        case 'i':
            return Printf(head + "lld",
                          static_cast<long long>(narrow ? static_cast<int32_t>(s) : s));
        case 'u':
        case 'o':
        case 'x':
        case 'X':
        case 'p': {
            unsigned long long u = narrow ? static_cast<uint32_t>(s) : static_cast<uint64_t>(s);
            return Printf(head + "ll" + (c.conv == 'p' ? 'X' : c.conv), u);
        }
        case 'c':
            return std::string(1, static_cast<char>(s));
        default:  // floating conversions of an integer argument
            return Printf(head + c.conv, static_cast<double>(s));
    }
}

}  // namespace

std::string FormatMessageText(std::string_view t, std::span<const FormatArg> args) {
    std::string out;
    out.reserve(t.size() + 32);
    size_t i = 0;
    while (i < t.size()) {
        char ch = t[i];
        if (ch != '%') {
            out += ch;
            ++i;
            continue;
        }
        if (i + 1 >= t.size()) {  // a lone trailing percent sign
            out += '%';
            break;
        }
        char next = t[i + 1];
        if (next == 'n') {
            out += '\n';
            i += 2;
        } else if (next == '0') {  // %0 ends the message without a line break
            break;
        } else if (next >= '1' && next <= '9') {
            size_t j = i + 2;
            int number = next - '0';
            if (j < t.size() && std::isdigit(static_cast<unsigned char>(t[j])))
                number = number * 10 + (t[j++] - '0');
            Conversion conv;
            size_t after = j;
            if (j < t.size() && t[j] == '!') {
                size_t close = t.find('!', j + 1);
                if (close != std::string_view::npos &&
                    ParseConversion(t.substr(j + 1, close - j - 1), conv))
                    after = close + 1;
                else
                    conv = Conversion{};
            }
            if (number >= 1 && static_cast<size_t>(number) <= args.size()) {
                out += Render(conv, args[number - 1]);
                i = after;
            } else {
                // No such argument: keep the insert as written.
                out.append(t.substr(i, after - i));
                i = after;
            }
        } else {
            // %%, %., %!, %space and any other escape give the character itself.
            out += next;
            i += 2;
        }
    }
    return out;
}

}  // namespace platform
