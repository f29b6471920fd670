#include "model/par_interface.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "app/private_exception.h"
#include "platform/text.h"

namespace {

constexpr double kPow10[] = {1, 10, 100, 1000, 10000};
constexpr char kNameChars[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ -_.@";
constexpr char kHexDigits[] = "0123456789abcdefABCDEF";

double Pow10(int32_t decimals) {
    return kPow10[std::clamp(decimals, 0, 4)];
}

uint8_t Hi(uint16_t w) {
    return static_cast<uint8_t>(w >> 8);
}
uint8_t Lo(uint16_t w) {
    return static_cast<uint8_t>(w & 0xFF);
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// wcstoul semantics on a 32-bit unsigned long: leading space and sign, a minus negates modulo 2^32,
// a magnitude above 2^32 - 1 overflows. Returns the position after the digits (start when none).
size_t StrToUl32(std::string_view s, int base, uint32_t& result, bool& overflow) {
    size_t i = 0;
    while (i < s.size() && IsSpace(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (base == 16 && i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X') &&
        i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 2])))
        i += 2;
    uint64_t magnitude = 0;
    size_t digits = 0;
    overflow = false;
    for (; i < s.size(); ++i, ++digits) {
        int d;
        char c = s[i];
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            break;
        magnitude = magnitude * base + d;
        if (magnitude > 0xFFFFFFFFull) {
            overflow = true;
            magnitude = 0xFFFFFFFFull + 1;  // keep consuming digits without wrapping
        }
    }
    if (digits == 0) return 0;
    uint32_t m = static_cast<uint32_t>(std::min<uint64_t>(magnitude, 0xFFFFFFFFull));
    result = overflow ? 0xFFFFFFFFu : (negative ? static_cast<uint32_t>(0u - m) : m);
    return i;
}

// The text as a signed 32-bit number scaled by 10^decimals, wcstod semantics.
bool ParseDecimal(std::string_view text, int32_t decimals, int32_t& out) {
    std::string s(text);
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    double x = platform::StrToDouble(s.c_str(), &end);
    if (errno == ERANGE || end != s.c_str() + s.size() || end == s.c_str()) return false;
    constexpr double kFloatMax = 3.4028234663852886e38;
    x = std::clamp(x, -kFloatMax, kFloatMax);
    double scaled = Pow10(decimals) * (x >= 0 ? x + 0.00001 : x - 0.00001);
    scaled = std::trunc(scaled);
    if (!(scaled >= std::numeric_limits<int32_t>::min() &&
          scaled <= std::numeric_limits<int32_t>::max()))
        out = std::numeric_limits<int32_t>::min();
    else
        out = static_cast<int32_t>(scaled);
    return true;
}

}  // namespace

CParInterface::CParInterface(const char* modelCode, const ParDefinition* def)
    : m_definition(def),
      m_modelCode(modelCode),
      m_minimum(def->minimum),
      m_maximum(def->maximum),
      m_decimals(def->decimals),
      m_unit(def->unit) {
    const uint16_t count = RegisterCount(*def);
    const uint32_t dflt = static_cast<uint32_t>(def->defaultValue);
    uint16_t words[2] = {0, 0};
    switch (def->type) {
        case PAR_IPV4:
            words[0] = static_cast<uint16_t>(dflt >> 16);
            words[1] = static_cast<uint16_t>(dflt);
            break;
        case PAR_UINT16:
        case PAR_INT16:
        case PAR_HEX16:
        case PAR_LIST16:
            words[0] = static_cast<uint16_t>(dflt);
            break;
        case PAR_UINT32_HEX:
        case PAR_UINT32:
        case PAR_LIST32:
            words[0] = static_cast<uint16_t>(dflt);
            words[1] = static_cast<uint16_t>(dflt >> 16);
            break;
        default:
            break;
    }
    m_value = CParValue(def->address, count, count <= 2 ? words : nullptr, def->type == PAR_NAME);
    if (def->type == PAR_TEXT || def->type == PAR_NAME) m_value.SetString(0, "");
}

bool CParInterface::IsTextEdited() const {
    uint32_t t = Type();
    return (t >= PAR_TEXT && t <= PAR_HEX16) || t == PAR_KEY128;
}

bool CParInterface::IsStringLike() const {
    uint32_t t = Type();
    return t == PAR_TEXT || t == PAR_NAME || t == PAR_KEY128;
}

std::string CParInterface::FormatScaled(double w) const {
    const double p = Pow10(m_decimals);
    return platform::FormatC("%.*f", std::clamp(m_decimals, 0, 4), w / p + 0.1 / p);
}

std::string CParInterface::GetText() const {
    const CParValue& v = m_value;
    auto w = [&](size_t i) { return v.Word(i); };
    switch (Type()) {
        case PAR_TEXT:
        case PAR_NAME: {
            std::string s = platform::SanitizeUtf8(v.GetString(0));
            return s;
        }
        case PAR_IPV4:
            return platform::FormatC("%d.%d.%d.%d", Hi(w(0)), Lo(w(0)), Hi(w(1)), Lo(w(1)));
        case PAR_UINT16:
            return m_decimals == 0 ? platform::FormatC("%d", w(0)) : FormatScaled(w(0));
        case PAR_INT16: {
            int16_t s = static_cast<int16_t>(w(0));
            return m_decimals == 0 ? platform::FormatC("%d", s) : FormatScaled(s);
        }
        case PAR_UINT32_HEX:
        case PAR_UINT32:
            return platform::FormatC("%u", (static_cast<uint32_t>(w(1)) << 16) | w(0));
        case PAR_HEX16:
            return platform::FormatC("%04X", w(0));
        case PAR_LIST16:
            return GetListText(w(0));
        case PAR_LIST32:
            return GetListText(static_cast<int32_t>((static_cast<uint32_t>(w(1)) << 16) | w(0)));
        case PAR_KEY128: {
            std::string s;
            for (size_t i = 0; i < 8; ++i) s += platform::FormatC("%04X", w(i));
            return s;
        }
        case PAR_CHANNELS: {
            std::string s;
            for (size_t i = 0; i < v.Count(); ++i) {
                if (!w(i)) continue;
                if (!s.empty()) s += ", ";
                s += platform::FormatC("%d", w(i));
            }
            return s;
        }
        case PAR_MAC64: {
            std::string s;
            for (size_t i = 0; i < 4; ++i)
                s += platform::FormatC(i ? ":%02X:%02X" : "%02X:%02X", Hi(w(i)), Lo(w(i)));
            return s;
        }
        case PAR_VERSION:
            return platform::FormatC("%d.%d.%d", w(0), w(1), w(2));
        case PAR_VERSION_HEX:
            return platform::FormatC("%x.%x.%x", w(0), w(1), w(2));
        default:
            return {};
    }
}

std::string CParInterface::GetDisplayText() const {
    std::string text = GetText();
    if (Type() == PAR_UINT32_HEX)
        text += platform::FormatC(" (0x%X)",
                                  (static_cast<uint32_t>(m_value.Word(1)) << 16) | m_value.Word(0));
    std::string unit = GetUnitText();
    if (!unit.empty()) text += " (" + unit + ")";
    return text;
}

std::string CParInterface::FormatNumber(int64_t n) const {
    const uint32_t low32 = static_cast<uint32_t>(n);
    switch (Type()) {
        case PAR_UINT16:
            return m_decimals == 0 ? platform::FormatC("%d", static_cast<int32_t>(low32))
                                   : FormatScaled(static_cast<double>(n));
        case PAR_INT16: {
            int16_t s = static_cast<int16_t>(n);
            return m_decimals == 0 ? platform::FormatC("%d", s) : FormatScaled(s);
        }
        case PAR_UINT32_HEX:
        case PAR_UINT32:
            return platform::FormatC("%u", low32);
        case PAR_HEX16:
            return platform::FormatC("%04X", low32);
        case PAR_LIST16:
        case PAR_LIST32:
            return GetListText(static_cast<int32_t>(low32));
        default:
            return {};
    }
}

void CParInterface::CheckRange(int64_t n) const {
    if (n < m_minimum || n > m_maximum)
        throw CPrivateException(CPrivateException::Key{"rangeerr"},
                                {GetLabel(), FormatNumber(m_minimum), FormatNumber(m_maximum)});
}

void CParInterface::SetText(std::string_view text) {
    switch (Type()) {
        case PAR_TEXT:
            StoreString(text);
            break;
        case PAR_NAME:
            SetName(text);
            break;
        case PAR_IPV4:
            SetIpv4(text);
            break;
        case PAR_UINT16:
        case PAR_INT16:
        case PAR_UINT32_HEX:
        case PAR_UINT32:
            SetInteger(text);
            break;
        case PAR_HEX16:
            SetHex16(text);
            break;
        case PAR_KEY128:
            SetKey(text);
            break;
        default:
            break;  // lists, channels and the read-only kinds are not set from text
    }
}

void CParInterface::SetInteger(std::string_view text) {
    const bool wide = Type() == PAR_UINT32_HEX || Type() == PAR_UINT32;
    const char* errorKey = m_decimals == 0 ? "inpierr" : "inperr";
    int64_t number;
    if (m_decimals != 0) {
        int32_t scaled;
        if (!ParseDecimal(text, m_decimals, scaled))
            throw CPrivateException(CPrivateException::Key{errorKey});
        number = scaled;
    } else if (wide) {
        std::string s(text);
        const int base = s.starts_with("0x") || s.starts_with("0X") ? 16 : 10;
        errno = 0;
        char* end = nullptr;
        long long v = std::strtoll(s.c_str(), &end, base);
        if (s.empty() || errno == ERANGE || end != s.c_str() + s.size() || end == s.c_str())
            throw CPrivateException(CPrivateException::Key{errorKey});
        number = v;
    } else {
        uint32_t u = 0;
        bool overflow = false;
        size_t end = StrToUl32(text, 10, u, overflow);
        if (text.empty() || overflow || end == 0 || end != text.size())
            throw CPrivateException(CPrivateException::Key{errorKey});
        number = static_cast<int32_t>(u);
    }
    CheckRange(number);
    const uint64_t bits = static_cast<uint64_t>(number);
    m_value.SetWord(0, static_cast<uint16_t>(bits));
    if (wide) m_value.SetWord(1, static_cast<uint16_t>(bits >> 16));
}

void CParInterface::SetHex16(std::string_view text) {
    uint32_t u = 0;
    bool overflow = false;
    size_t end = StrToUl32(text, 16, u, overflow);
    if (text.empty() || overflow || end == 0 || end != text.size())
        throw CPrivateException(CPrivateException::Key{"inpherr"});
    CheckRange(static_cast<int32_t>(u));
    m_value.SetWord(0, static_cast<uint16_t>(u));
}

void CParInterface::SetIpv4(std::string_view text) {
    uint32_t address = 0;
    std::string s(text);
    const char* p = s.c_str();
    for (int octet = 0; octet < 4; ++octet) {
        if (!*p) throw CPrivateException(CPrivateException::Key{"iperr"});
        errno = 0;
        char* end = nullptr;
        long v = std::strtol(p, &end, 10);
        if (end == p || errno == ERANGE || v < 0 || v > 255)
            throw CPrivateException(CPrivateException::Key{"iperr"});
        p = end;
        if (octet < 3) {
            if (*p != '.') throw CPrivateException(CPrivateException::Key{"iperr"});
            ++p;
        } else if (*p) {
            throw CPrivateException(CPrivateException::Key{"iperr"});
        }
        address = address * 256 + static_cast<uint32_t>(v);
    }
    uint16_t words[2] = {static_cast<uint16_t>(address >> 16), static_cast<uint16_t>(address)};
    m_value = CParValue(m_value.Address(), 2, words, false);
}

void CParInterface::SetKey(std::string_view text) {
    const auto chars = platform::DecodeUtf8(text);
    const size_t n = chars.size();
    std::string digits;
    for (size_t i = 0; i < std::min<size_t>(n, 32); ++i) {
        char32_t c = chars[i];
        if (c > 0x7F || !std::strchr(kHexDigits, static_cast<char>(c)) || c == 0)
            throw CPrivateException(CPrivateException::Key{"hexerr"}, {GetLabel()});
        digits += static_cast<char>(std::toupper(static_cast<int>(c)));
    }
    digits = std::string(32 - digits.size(), '0') + digits;
    if (n == 0 || n > 32)
        throw CPrivateException(CPrivateException::Key{"enckeyerr"}, {GetLabel()});
    uint16_t words[8];
    for (size_t k = 0; k < 8; ++k)
        words[k] =
            static_cast<uint16_t>(std::strtoul(digits.substr(4 * k, 4).c_str(), nullptr, 16));
    m_value = CParValue(m_value.Address(), 8, words, false);
}

void CParInterface::SetName(std::string_view text) {
    for (char32_t c : platform::DecodeUtf8(text)) {
        if (c == 0 || c > 0x7F || !std::strchr(kNameChars, static_cast<char>(c)))
            throw CPrivateException(CPrivateException::Key{"strerr"},
                                    {GetLabel(), m_definition->maximum});
    }
    StoreString(text);
}

void CParInterface::StoreString(std::string_view text) {
    // The registers hold bytes up to the first zero; a typed zero would cut the text silently.
    std::string_view bytes = text.substr(0, text.find('\0'));
    if (static_cast<int64_t>(bytes.size()) > m_definition->maximum)
        throw CPrivateException(CPrivateException::Key{"toolongerr"},
                                {GetLabel(), m_definition->maximum});
    m_value.SetString(0, bytes);
}

void CParInterface::SetNumber(int32_t n) {
    const uint32_t u = static_cast<uint32_t>(n);
    switch (Type()) {
        case PAR_UINT16:
        case PAR_INT16:
        case PAR_HEX16:
        case PAR_LIST16:
            m_value.SetWord(0, static_cast<uint16_t>(u));
            break;
        case PAR_LIST32:
            m_value.SetWord(0, static_cast<uint16_t>(u));
            m_value.SetWord(1, static_cast<uint16_t>(u >> 16));
            break;
        default:
            break;
    }
}

void CParInterface::SetValue(const CParValue& value) {
    // Keep the parameter's own address and size: a holder of another size never reshapes it.
    for (size_t i = 0; i < m_value.Count(); ++i) m_value.SetWord(i, value.Word(i));
}

std::string CParInterface::GetLabel() const {
    return m_definition ? g_resources.GetParameterText(m_modelCode, m_definition->key)
                        : std::string();
}

std::string CParInterface::GetUnitText() const {
    const char* key = UnitKey(m_unit);
    return key ? g_resources.GetMessageText(key) : std::string();
}

std::string CParInterface::GetListText(int64_t value) const {
    if (!m_definition || !m_definition->listKey) return {};
    return g_resources.GetListItemText(m_modelCode, m_definition->listKey, value);
}

int32_t CParInterface::GetListValue(int position) const {
    if (Type() != PAR_LIST16 && Type() != PAR_LIST32) return position;
    if (!m_definition->listKey) return -1;
    return g_resources.GetListItemValue(m_modelCode, m_definition->listKey, position);
}
