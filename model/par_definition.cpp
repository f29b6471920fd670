#include "model/par_definition.h"

#include <algorithm>

const char* UnitKey(uint32_t unit) {
    static const char* const keys[] = {nullptr,    "unitsec",  "unitch",  "unitdegc",
                                       "unitdegf", "unitperc", "unitma",  "unita",
                                       "unitmv",   "unitv",    "unitohm", "unitdbm"};
    return unit < std::size(keys) ? keys[unit] : nullptr;
}

uint16_t RegisterCount(const ParDefinition& def) {
    switch (def.type) {
        case PAR_TEXT:
        case PAR_NAME:
            return static_cast<uint16_t>(std::clamp<int64_t>(def.maximum / 2, 0, 0xFFFF));
        case PAR_IPV4:
        case PAR_UINT32_HEX:
        case PAR_UINT32:
        case PAR_LIST32:
            return 2;
        case PAR_UINT16:
        case PAR_INT16:
        case PAR_HEX16:
        case PAR_LIST16:
            return 1;
        case PAR_KEY128:
            return 8;
        case PAR_CHANNELS:
            return 10;
        case PAR_MAC64:
            return 4;
        case PAR_VERSION:
        case PAR_VERSION_HEX:
            return 3;
        default:
            return 0;
    }
}

CParValue::CParValue(uint16_t address, uint16_t count, const uint16_t* words, bool highByteFirst)
    : m_address(address), m_count(count), m_words(count + 1u, 0), m_highByteFirst(highByteFirst) {
    if (words) std::copy(words, words + count, m_words.begin());
}

CParValue::CParValue(uint16_t address, uint16_t word) : CParValue(address, 1, &word) {}

void CParValue::Clear() {
    m_words.clear();
    m_count = 0;
}

void CParValue::SetString(size_t first, std::string_view bytes) {
    if (first >= m_count) return;
    const size_t room = (m_count - first) * 2;
    uint16_t* regs = m_words.data() + first;
    if (!m_highByteFirst) {
        // The text and its terminating zero, cut to the room; later bytes keep their content.
        const size_t n = std::min(bytes.size() + 1, room);
        for (size_t i = 0; i < n; ++i) {
            uint8_t b = i < bytes.size() ? static_cast<uint8_t>(bytes[i]) : 0;
            uint16_t& w = regs[i / 2];
            w = (i % 2 == 0) ? static_cast<uint16_t>((w & 0xFF00) | b)
                             : static_cast<uint16_t>((w & 0x00FF) | (b << 8));
        }
    } else {
        for (size_t i = 0; i < room; ++i) {
            uint8_t b = i < bytes.size() ? static_cast<uint8_t>(bytes[i]) : 0;
            uint16_t& w = regs[i / 2];
            w = (i % 2 == 0) ? static_cast<uint16_t>((w & 0x00FF) | (b << 8))
                             : static_cast<uint16_t>((w & 0xFF00) | b);
        }
    }
}

std::string CParValue::GetString(size_t first) const {
    std::string out;
    if (first >= m_count) return out;
    if (!m_highByteFirst) {
        for (size_t r = first; r < m_count; ++r) {
            char lo = static_cast<char>(m_words[r] & 0xFF), hi = static_cast<char>(m_words[r] >> 8);
            if (!lo) break;
            out += lo;
            if (!hi) break;
            out += hi;
        }
    } else {
        for (size_t r = first; r < m_count; ++r) {
            char hi = static_cast<char>(m_words[r] >> 8), lo = static_cast<char>(m_words[r] & 0xFF);
            if (hi) out += hi;
            if (lo) out += lo;
        }
    }
    return out;
}
