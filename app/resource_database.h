// The language store: every user-visible text of the program is looked up here, by key.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xml_reader_writer.h"

// Base of every class that draws texts from the language file.
class CResourceManager {
public:
    virtual ~CResourceManager() = default;
};

class CResourceDatabase {
public:
    virtual ~CResourceDatabase() = default;

    // An empty "root" document: every lookup yields an empty text until a language is loaded.
    void Init();
    // Loads a language file from the program's folder (or the given path when it has a folder
    // part). The new document is in use even when its header checks fail; any failure raises
    // "Can't read resource file ...". A text the file lacks comes from English.lng, and only
    // when that lacks it too is it empty; how many the file lacks is traced once.
    void LoadLanguage(const std::string& fileName);
    // How many texts of English.lng the loaded language file lacks.
    int MissingTexts() const { return m_missing; }

    // Lookups never fail: a missing document, section or key gives an empty text.
    std::string GetGuiText(int dialogId, int controlId) const;
    std::string GetMessageText(std::string_view key) const;
    std::string GetParameterText(std::string_view modelCode, std::string_view name) const;
    std::string GetListItemText(std::string_view modelCode, std::string_view list,
                                int64_t value) const;
    // The stored value of the item at a position; the position itself for a simple-form list;
    // -1 when there is no such item.
    int32_t GetListItemValue(std::string_view modelCode, std::string_view list, int position) const;
    std::string GetLanguageName() const;
    // The language the file is written in, as a locale name ("ja"); empty when it names none.
    std::string GetLocaleName() const;

    // Full path of a language file name as LoadLanguage resolves it.
    static std::string LanguagePath(const std::string& fileName);
    // The folder of the running program.
    static std::string ProgramDirectory();
    // Where language files are looked for, in order: beside the program, then the data folders.
    static std::vector<std::string> LanguageFolders();

private:
    std::string Lookup(const std::string& xpath) const;
    const CXmlReaderWriter& ListDocument(std::string_view modelCode, std::string_view list) const;
    void LoadFallback(const std::string& chosenPath);

    CXmlReaderWriter m_xml;
    CXmlReaderWriter m_fallback;  // English.lng, while another language is in use
    bool m_hasFallback = false;
    int m_missing = 0;
};

extern CResourceDatabase g_resources;

// A language file that can be chosen: its file name and the names it gives for itself.
struct LanguageFileInfo {
    std::string file;    // "Japanese.lng"
    std::string name;    // "日本語"
    std::string locale;  // "ja"
};
// Every well-formed language file in the folders, sorted by file name; of two files with the same
// name the one in the earlier folder counts. Files that cannot be read are left out.
std::vector<LanguageFileInfo> ListLanguageFiles(
    const std::vector<std::string>& folders = CResourceDatabase::LanguageFolders());
