// One row of a model's constant parameter table, and the register holder of a value.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

enum ParType : uint32_t {
    PAR_GROUP = 0,
    PAR_TEXT = 1,
    PAR_NAME = 2,
    PAR_IPV4 = 3,
    PAR_UINT16 = 4,
    PAR_INT16 = 5,
    PAR_UINT32_HEX = 6,
    PAR_UINT32 = 7,
    PAR_HEX16 = 8,
    PAR_LIST16 = 9,
    PAR_LIST32 = 10,
    PAR_KEY128 = 11,
    PAR_CHANNELS = 12,
    PAR_MAC64 = 13,
    PAR_VERSION = 14,
    PAR_VERSION_HEX = 15,
};

constexpr uint32_t PARF_READONLY = 1;
constexpr uint32_t PARF_OPERATION = 2;

// Units by index 1..11; 0 means no unit.
enum ParUnit : uint32_t {
    UNIT_NONE = 0,
    UNIT_SEC,
    UNIT_CH,
    UNIT_DEGC,
    UNIT_DEGF,
    UNIT_PERC,
    UNIT_MA,
    UNIT_A,
    UNIT_MV,
    UNIT_V,
    UNIT_OHM,
    UNIT_DBM,
};

// Message key of a unit's text, or nullptr for no unit.
const char* UnitKey(uint32_t unit);

struct ParDefinition {
    uint32_t type;
    const char* key;
    uint16_t address;
    int64_t minimum;
    int64_t maximum;
    int64_t defaultValue;
    int32_t decimals;
    const char* listKey;
    uint32_t unit;
    uint32_t flags;
};

// Number of registers a definition occupies.
uint16_t RegisterCount(const ParDefinition& def);

// A run of consecutive holding registers: a parameter's value or a block of the register image.
// The words carry one extra 0 after the last register, which bounds byte-wise text reads.
class CParValue {
public:
    CParValue() = default;
    CParValue(uint16_t address, uint16_t count, const uint16_t* words, bool highByteFirst = false);
    CParValue(uint16_t address, uint16_t word);
    virtual ~CParValue() = default;
    CParValue(const CParValue&) = default;
    CParValue& operator=(const CParValue&) = default;

    uint16_t Address() const { return m_address; }
    uint16_t Count() const { return m_count; }
    bool HighByteFirst() const { return m_highByteFirst; }

    uint16_t Word(size_t i) const { return i < m_count ? m_words[i] : 0; }
    void SetWord(size_t i, uint16_t w) {
        if (i < m_count) m_words[i] = w;
    }
    std::span<uint16_t> Words() { return {m_words.data(), m_count}; }
    std::span<const uint16_t> Words() const { return {m_words.data(), m_count}; }
    uint16_t* Data() { return m_words.data(); }
    const uint16_t* Data() const { return m_words.data(); }

    void Clear();

    // Packs UTF-8 bytes into the registers from register first on.
    void SetString(size_t first, std::string_view bytes);
    // Unpacks UTF-8 bytes from the registers from register first on.
    std::string GetString(size_t first) const;

private:
    uint16_t m_address = 0;
    uint16_t m_count = 0;
    std::vector<uint16_t> m_words;  // count + 1 words, the last always 0
    bool m_highByteFirst = false;
};
