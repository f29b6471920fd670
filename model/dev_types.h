// The device-type table: what a device reports about itself, mapped onto its settings model and
// its monitor model, and the eleven model classes with their tables and rules.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "model/dev_interface.h"

constexpr int DEV_SETTINGS = 0;
constexpr int DEV_MONITOR = 1;

struct DevTypeEntry {
    using Factory = std::unique_ptr<CDevInterface> (*)();
    const char* modelCode;
    uint16_t typeCode;
    uint32_t versionMin;
    uint32_t versionMax;
    std::array<Factory, 2> factories;
};

class CDevType : public CResourceManager {
public:
    static int EntryCount();
    static const DevTypeEntry& Entry(int index);

    // First entry with the type code whose version range holds the version, or -1.
    int FindEntry(uint16_t typeCode, uint32_t version) const;
    // A new model of the entry; version 0 stands for 1.0 (65536).
    std::unique_ptr<CDevInterface> Create(int entry, uint32_t version, int factory) const;
    // Null when no entry matches.
    std::unique_ptr<CDevInterface> CreateFor(uint16_t typeCode, uint32_t version,
                                             int factory) const;
    std::string LongName(int entry) const;
    // Entry of a model code (e.g. "RB16KT5QA"), or -1.
    static int FindModel(std::string_view modelCode);
};

// The version number the table compares: major * 65536 + minor.
constexpr uint32_t MakeVersion(uint16_t major, uint16_t minor) {
    return (uint32_t(major) << 16) | minor;
}

// Settings models.
class CDevSettingsCommon : public CDevInterface {
public:
    void OnChanged(int index) override;
    bool IsLocked(int index) const override;

protected:
    // Applies the four common rules; true when one of them applied.
    bool ApplyCommonRules(int index);
    bool CommonLock(int index) const;
};

class CDevKT5_2 : public CDevSettingsCommon {
public:
    CDevKT5_2();
};
class CDevKT5QA : public CDevSettingsCommon {
public:
    CDevKT5QA();
};
class CDevKT5QB : public CDevSettingsCommon {
public:
    CDevKT5QB();
};
class CDevKT5QC : public CDevSettingsCommon {
public:
    CDevKT5QC();
};
class CDevKT5QD : public CDevSettingsCommon {
public:
    CDevKT5QD();
    void OnChanged(int index) override;
};
class CDevT5PLX4M_2 : public CDevSettingsCommon {
public:
    CDevT5PLX4M_2();
};
class CDevT5SQ7_2 : public CDevSettingsCommon {
public:
    CDevT5SQ7_2();
    void OnChanged(int index) override;
    bool IsLocked(int index) const override;
};

// Monitor models; textSection names the language section of the out-of-range text.
class CDevMonitorCommon : public CDevInterface {
public:
    explicit CDevMonitorCommon(const char* textSection) : m_textSection(textSection) {}
    std::string AdjustText(int index, const std::string& text) const override;

private:
    const char* m_textSection;
};

class CDevMKT5 : public CDevMonitorCommon {
public:
    CDevMKT5();
};
class CDevMKT5QA : public CDevMonitorCommon {
public:
    CDevMKT5QA();
};
class CDevMT5PLX4M : public CDevMonitorCommon {
public:
    CDevMT5PLX4M();
};
class CDevMT5SQ7 : public CDevMonitorCommon {
public:
    CDevMT5SQ7();
};
