#include "platform/text.h"

#include <locale.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

locale_t CLocale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return loc;
}

// Decodes one code point at text[i]; returns its length, or 0 for an invalid sequence.
size_t DecodeOne(std::string_view s, size_t i, char32_t& cp) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    size_t len;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        len = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    static const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

std::vector<char32_t> DecodeUtf8(std::string_view text) {
    std::vector<char32_t> out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        size_t n = DecodeOne(text, i, cp);
        if (n == 0) {
            out.push_back(0xFFFD);
            ++i;
        } else {
            out.push_back(cp);
            i += n;
        }
    }
    return out;
}

std::string EncodeUtf8(char32_t cp) {
    std::string out;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

std::string SanitizeUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        size_t n = DecodeOne(text, i, cp);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string EscapeControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t cp : DecodeUtf8(text)) {
        if (cp < 0x20 || cp == 0x7F)
            out += FormatC("\\x%02x", static_cast<unsigned>(cp));
        else if (cp >= 0x80 && cp < 0xA0)
            out += FormatC("\\u%04x", static_cast<unsigned>(cp));
        else
            out += EncodeUtf8(cp);
    }
    return out;
}

size_t CountCodePoints(std::string_view text) {
    return DecodeUtf8(text).size();
}

size_t CountUtf16Units(std::string_view text) {
    size_t n = 0;
    for (char32_t cp : DecodeUtf8(text)) n += cp >= 0x10000 ? 2 : 1;
    return n;
}

std::string FormatC(const char* format, ...) {
    locale_t old = uselocale(CLocale());
    char buf[512];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    uselocale(old);
    if (n < 0) return {};
    return std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

double StrToDouble(const char* text, char** end) {
    return strtod_l(text, end, CLocale());
}

}  // namespace platform
