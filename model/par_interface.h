// One parameter of a model: its definition, its registers, and the conversion between the
// registers and the text the user sees and types.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/resource_database.h"
#include "model/par_definition.h"

class CParInterface : public CResourceManager {
public:
    CParInterface() = default;
    CParInterface(const char* modelCode, const ParDefinition* definition);

    const ParDefinition& Definition() const { return *m_definition; }
    bool HasDefinition() const { return m_definition != nullptr; }
    uint32_t Type() const { return m_definition ? m_definition->type : PAR_GROUP; }
    const char* Key() const { return m_definition ? m_definition->key : ""; }
    uint32_t Flags() const { return m_definition ? m_definition->flags : 0; }
    const char* ModelCode() const { return m_modelCode; }

    CParValue& Value() { return m_value; }
    const CParValue& Value() const { return m_value; }

    int64_t Minimum() const { return m_minimum; }
    int64_t Maximum() const { return m_maximum; }
    void SetMinimum(int64_t v) { m_minimum = v; }
    void SetMaximum(int64_t v) { m_maximum = v; }
    int32_t Decimals() const { return m_decimals; }
    uint32_t Unit() const { return m_unit; }

    // Texts typed as one line in the editor; of these, text, name and key count their bytes.
    bool IsTextEdited() const;
    bool IsStringLike() const;

    std::string GetText() const;
    std::string GetDisplayText() const;
    std::string FormatNumber(int64_t n) const;
    // Parses, validates and stores; a refused text raises and leaves the value as it was.
    void SetText(std::string_view text);
    void SetNumber(int32_t n);
    void SetValue(const CParValue& value);
    void CheckRange(int64_t n) const;

    std::string GetLabel() const;
    std::string GetUnitText() const;
    std::string GetListText(int64_t value) const;
    int32_t GetListValue(int position) const;

private:
    std::string FormatScaled(double w) const;
    void SetInteger(std::string_view text);
    void SetHex16(std::string_view text);
    void SetIpv4(std::string_view text);
    void SetKey(std::string_view text);
    void SetName(std::string_view text);
    void StoreString(std::string_view text);

    const ParDefinition* m_definition = nullptr;
    const char* m_modelCode = "";
    CParValue m_value;
    int64_t m_minimum = 0;
    int64_t m_maximum = 0;
    int32_t m_decimals = 0;
    uint32_t m_unit = 0;
};
