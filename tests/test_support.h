// Helpers shared by the tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "app/private_exception.h"
#include "app/resource_database.h"

namespace testing_support {

// A temporary folder removed with the object.
class TempDir {
public:
    TempDir() {
        std::string templ =
            (std::filesystem::temp_directory_path() / "norvelco-test-XXXXXX").string();
        if (!mkdtemp(templ.data())) std::abort();
        m_path = templ;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::filesystem::path& Path() const { return m_path; }
    std::string File(const std::string& name) const { return (m_path / name).string(); }
    std::string Write(const std::string& name, const std::string& content) const {
        std::ofstream(File(name), std::ios::binary) << content;
        return File(name);
    }

private:
    std::filesystem::path m_path;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The message of the error the call raises; "(no error)" when it raises none.
inline std::string ErrorText(const std::function<void()>& call) {
    try {
        call();
    } catch (const CPrivateException& e) {
        return e.Message();
    }
    return "(no error)";
}

// The text of a message key with its inserts, as the program raises it.
inline std::string KeyText(const char* key, std::initializer_list<platform::FormatArg> args = {}) {
    return CPrivateException(CPrivateException::Key{key}, args).Message();
}

// Loads the shipped language file into the global store.
inline void LoadEnglish() {
    g_resources.Init();
    g_resources.LoadLanguage("English.lng");
}

}  // namespace testing_support
