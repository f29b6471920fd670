#include "app/private_exception.h"

#include <netdb.h>

#include <cstring>

CMessageFormatter::CMessageFormatter(int errorCode) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(errorCode, buf, sizeof buf);
    m_text = text ? text : "";
}

CMessageFormatter CMessageFormatter::FromAddrInfo(int gaiCode) {
    CMessageFormatter f;
    if (gaiCode == EAI_SYSTEM) return CMessageFormatter(errno);
    f.m_text = gai_strerror(gaiCode);
    return f;
}

CPrivateException::CPrivateException(Key key, std::initializer_list<platform::FormatArg> args)
    : CPrivateException(key, std::vector<platform::FormatArg>(args)) {}

CPrivateException::CPrivateException(Key key, const std::vector<platform::FormatArg>& args) {
    std::string text = g_resources.GetMessageText(key.key);
    m_message = text.empty() ? std::string(key.key) : platform::FormatMessageText(text, args);
}

bool CPrivateException::GetErrorMessage(char* buffer, std::size_t size) const {
    if (!buffer || size == 0) return true;
    std::string cut = TruncateUtf8(m_message, size - 1);
    std::memcpy(buffer, cut.data(), cut.size());
    buffer[cut.size()] = '\0';
    return true;
}

std::string TruncateUtf8(std::string_view text, std::size_t max) {
    if (text.size() <= max) return std::string(text);
    std::size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return std::string(text.substr(0, n));
}
