// The one error type of the system: its message is finished text when it is thrown.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "app/resource_database.h"
#include "platform/message_format.h"

// The system's text for an errno value, or a getaddrinfo code.
class CMessageFormatter {
public:
    explicit CMessageFormatter(int errorCode);
    static CMessageFormatter FromAddrInfo(int gaiCode);
    virtual ~CMessageFormatter() = default;
    const std::string& Text() const { return m_text; }

private:
    CMessageFormatter() = default;
    std::string m_text;
};

class CPrivateException : public std::exception, public CResourceManager {
public:
    // The text of a message key of the language file, its inserts filled with args; the bare
    // key when the language file has no text for it.
    struct Key {
        std::string_view key;
    };

    CPrivateException() = default;  // empty: a cancelled exchange
    explicit CPrivateException(std::string text) : m_message(std::move(text)) {}
    explicit CPrivateException(const CMessageFormatter& f) : m_message(f.Text()) {}
    CPrivateException(Key key, std::initializer_list<platform::FormatArg> args = {});
    CPrivateException(Key key, const std::vector<platform::FormatArg>& args);

    const std::string& Message() const { return m_message; }
    const char* what() const noexcept override { return m_message.c_str(); }

    // Copies the message, cut to size - 1 bytes and always terminated; returns true.
    bool GetErrorMessage(char* buffer, std::size_t size) const;

    bool IsProtect() const { return m_message == kProtect; }
    bool IsCancelled() const { return m_message.empty(); }

    static constexpr const char* kProtect = "PROTECT";

private:
    std::string m_message;
};

// The first max bytes of a UTF-8 text, never cutting a character in two.
std::string TruncateUtf8(std::string_view text, std::size_t max);
