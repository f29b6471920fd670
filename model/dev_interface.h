// A model: the ordered parameter set of one device type, with its dependency rules.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/resource_database.h"
#include "model/par_interface.h"

class CModbusInterface;

class CDevInterface : public CResourceManager {
public:
    CDevInterface() = default;
    ~CDevInterface() override = default;

    void Build(const char* modelCode, std::span<const ParDefinition> table);

    int Count() const { return static_cast<int>(m_parameters.size()); }
    CParInterface& At(int index) { return m_parameters.at(static_cast<size_t>(index)); }
    const CParInterface& At(int index) const { return m_parameters.at(static_cast<size_t>(index)); }
    // First parameter with that key; 0 (and the parameter at 0) when the model has none.
    int IndexOf(std::string_view key) const;
    CParInterface& Find(std::string_view key) { return At(IndexOf(key)); }
    const CParInterface& Find(std::string_view key) const { return At(IndexOf(key)); }
    // Whether the parameter at index has exactly that key.
    bool Is(int index, std::string_view key) const;

    const char* ModelCode() const { return m_modelCode; }
    uint16_t TypeCode() const { return m_typeCode; }
    uint32_t Version() const { return m_version; }
    uint32_t VersionMin() const { return m_versionMin; }
    uint32_t VersionMax() const { return m_versionMax; }
    void SetIdentity(uint16_t typeCode, uint32_t version, uint32_t versionMin, uint32_t versionMax);

    virtual void PrepareStore() {}
    virtual void OnChanged(int /*index*/) {}
    virtual std::string AdjustText(int /*index*/, const std::string& text) const { return text; }
    virtual bool IsLocked(int index) const;
    virtual bool HasMonitorAction() const { return false; }
    virtual std::string MonitorActionCaption() const { return {}; }
    virtual void RunMonitorAction(CModbusInterface& /*master*/) {}

protected:
    // First register of a parameter as an unsigned 16-bit value.
    uint16_t ValueOf(std::string_view key) const { return Find(key).Value().Word(0); }

private:
    std::vector<CParInterface> m_parameters;
    const char* m_modelCode = "";
    uint16_t m_typeCode = 0;
    uint32_t m_version = 0;
    uint32_t m_versionMin = 0;
    uint32_t m_versionMax = 0;
};

// How a model rule tells the user something (the transmit-power limit). Rules may run on the
// worker thread, so the program installs a hook that hands the text to the UI thread or the
// terminal; tests install one that records it. Without a hook the text goes to stderr.
using UserNoticeHook = std::function<void(const std::string& text)>;
void SetUserNoticeHook(UserNoticeHook hook);
void ShowUserNotice(const std::string& text);
