#include "model/dev_interface.h"

#include <cstdio>
#include <cstring>
#include <mutex>

void CDevInterface::Build(const char* modelCode, std::span<const ParDefinition> table) {
    m_modelCode = modelCode;
    m_parameters.clear();
    m_parameters.reserve(table.size());
    for (const ParDefinition& def : table) m_parameters.emplace_back(modelCode, &def);
}

int CDevInterface::IndexOf(std::string_view key) const {
    for (size_t i = 0; i < m_parameters.size(); ++i)
        if (m_parameters[i].HasDefinition() && key == m_parameters[i].Key())
            return static_cast<int>(i);
    return 0;
}

bool CDevInterface::Is(int index, std::string_view key) const {
    return index >= 0 && index < Count() && key == m_parameters[static_cast<size_t>(index)].Key();
}

void CDevInterface::SetIdentity(uint16_t typeCode, uint32_t version, uint32_t versionMin,
                                uint32_t versionMax) {
    m_typeCode = typeCode;
    m_version = version;
    m_versionMin = versionMin;
    m_versionMax = versionMax;
}

bool CDevInterface::IsLocked(int index) const {
    return index >= 0 && index < Count() && At(index).Type() == PAR_GROUP;
}

namespace {
std::mutex g_noticeMutex;
UserNoticeHook g_noticeHook;
}  // namespace

void SetUserNoticeHook(UserNoticeHook hook) {
    std::lock_guard lock(g_noticeMutex);
    g_noticeHook = std::move(hook);
}

void ShowUserNotice(const std::string& text) {
    UserNoticeHook hook;
    {
        std::lock_guard lock(g_noticeMutex);
        hook = g_noticeHook;
    }
    if (hook)
        hook(text);
    else
        std::fprintf(stderr, "%s\n", text.c_str());
}
