#include "app/resource_database.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <vector>

#include "app/private_exception.h"
#include "platform/message_format.h"
#include "platform/trace.h"

CResourceDatabase g_resources;

namespace {

std::string Path(std::string_view templ, std::initializer_list<platform::FormatArg> args) {
    return platform::FormatMessageText(templ, args);
}

std::string S(std::string_view s) {
    return std::string(s);
}

}  // namespace

void CResourceDatabase::Init() {
    m_xml.Create("root");
    m_hasFallback = false;
    m_missing = 0;
}

std::string CResourceDatabase::ProgramDirectory() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<size_t>(n));
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::vector<std::string> CResourceDatabase::LanguageFolders() {
    // An installed program keeps its language files in the package's data folder, beside bin/.
    return {ProgramDirectory(), ProgramDirectory() + "/../share/norvelco", "/usr/share/norvelco",
            "/usr/local/share/norvelco"};
}

std::string CResourceDatabase::LanguagePath(const std::string& fileName) {
    if (fileName.find('/') != std::string::npos) return fileName;
    std::string beside = ProgramDirectory() + "/" + fileName;
    // A name the system refuses (too long, a folder not searchable) is simply not found here.
    std::error_code ec;
    for (const std::string& dir : LanguageFolders()) {
        std::string candidate = dir + "/" + fileName;
        if (std::filesystem::exists(candidate, ec)) return candidate;
    }
    return beside;
}

std::vector<LanguageFileInfo> ListLanguageFiles(const std::vector<std::string>& folders) {
    std::vector<LanguageFileInfo> files;
    for (const std::string& folder : folders) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            const std::string file = entry.path().filename().string();
            if (entry.path().extension() != ".lng" || !entry.is_regular_file(error)) continue;
            if (std::any_of(files.begin(), files.end(),
                            [&](const LanguageFileInfo& f) { return f.file == file; }))
                continue;
            CXmlReaderWriter doc;
            try {
                doc.Load(entry.path().string());
            } catch (const CPrivateException&) {
                continue;
            }
            LanguageFileInfo info{file, doc.TryGetText("/root/language"),
                                  doc.TryGetText("/root/locale")};
            if (doc.TryGetText("/root/application") == "NORVELT" &&
                doc.TryGetText("/root/filetype") == "language" && !info.name.empty())
                files.push_back(std::move(info));
        }
    }
    std::sort(files.begin(), files.end(),
              [](const LanguageFileInfo& a, const LanguageFileInfo& b) { return a.file < b.file; });
    return files;
}

void CResourceDatabase::LoadLanguage(const std::string& fileName) {
    try {
        const std::string path = LanguagePath(fileName);
        m_xml.Load(path);
        LoadFallback(path);
        if (m_xml.TryGetText("/root/application") != "NORVELT" ||
            m_xml.TryGetText("/root/filetype") != "language" || GetLanguageName().empty())
            throw CPrivateException(std::string("Illegal format"));
    } catch (const CPrivateException& e) {
        throw CPrivateException(
            platform::FormatMessageText("Can't read resource file \"%1!s!\".%n%2!s!",
                                        {fileName, TruncateUtf8(e.Message(), 1023)}));
    }
}

// A language file that lacks texts would show bare keys ("comerr") in their place.
void CResourceDatabase::LoadFallback(const std::string& chosenPath) {
    m_hasFallback = false;
    m_missing = 0;
    const std::string english = LanguagePath("English.lng");
    if (chosenPath == english) return;
    try {
        m_fallback.Load(english);
    } catch (const CPrivateException&) {
        return;  // without English.lng the chosen file stands alone
    }
    m_hasFallback = true;
    const std::vector<std::string> chosen = m_xml.LeafPaths();
    const std::set<std::string> present(chosen.begin(), chosen.end());
    for (const std::string& path : m_fallback.LeafPaths()) m_missing += present.count(path) ? 0 : 1;
    if (m_missing > 0)
        platform::Trace(platform::FormatMessageText(
            "language file %1 lacks %2!d! texts of English.lng", {chosenPath, m_missing}));
}

std::string CResourceDatabase::Lookup(const std::string& xpath) const {
    if (std::optional<std::string> text = m_xml.FindText(xpath)) return *text;
    return m_hasFallback ? m_fallback.TryGetText(xpath) : std::string();
}

std::string CResourceDatabase::GetGuiText(int dialogId, int controlId) const {
    return Lookup(Path("/root/gui[@name='%1!d!']/text[@name='%2!d!']", {dialogId, controlId}));
}

std::string CResourceDatabase::GetMessageText(std::string_view key) const {
    return Lookup(Path("/root/message/text[@name='%1']", {S(key)}));
}

std::string CResourceDatabase::GetParameterText(std::string_view modelCode,
                                                std::string_view name) const {
    return Lookup(Path("/root/parameter[@name='%1']/text[@name='%2']", {S(modelCode), S(name)}));
}

// A list is taken whole from one file, so that its entries never mix two languages.
const CXmlReaderWriter& CResourceDatabase::ListDocument(std::string_view modelCode,
                                                        std::string_view list) const {
    if (!m_hasFallback || m_xml.FindText(Path("/root/parameter[@name='%1']/list[@name='%2']",
                                              {S(modelCode), S(list)})))
        return m_xml;
    return m_fallback;
}

std::string CResourceDatabase::GetListItemText(std::string_view modelCode, std::string_view list,
                                               int64_t value) const {
    const CXmlReaderWriter& doc = ListDocument(modelCode, list);
    std::string t = doc.TryGetText(
        Path("/root/parameter[@name='%1']/list[@name='%2']/item[value=\"%3!d!\"]/text",
             {S(modelCode), S(list), value}));
    if (!t.empty()) return t;
    return doc.TryGetText(Path("/root/parameter[@name='%1']/list[@name='%2']/text[@name='%3!d!']",
                               {S(modelCode), S(list), value}));
}

int32_t CResourceDatabase::GetListItemValue(std::string_view modelCode, std::string_view list,
                                            int position) const {
    const CXmlReaderWriter& doc = ListDocument(modelCode, list);
    std::string v = doc.TryGetText(
        Path("/root/parameter[@name='%1']/list[@name='%2']/item[@name='%3!d!']/value",
             {S(modelCode), S(list), position}));
    if (!v.empty()) return static_cast<int32_t>(std::strtol(v.c_str(), nullptr, 10));
    std::string t =
        doc.TryGetText(Path("/root/parameter[@name='%1']/list[@name='%2']/text[@name='%3!d!']",
                            {S(modelCode), S(list), position}));
    return t.empty() ? -1 : position;
}

// The chosen file's own name: a file without one is no language file.
std::string CResourceDatabase::GetLanguageName() const {
    return m_xml.TryGetText("/root/language");
}

std::string CResourceDatabase::GetLocaleName() const {
    return m_xml.TryGetText("/root/locale");
}
