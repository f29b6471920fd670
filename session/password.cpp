#include "session/password.h"

#include "platform/text.h"

PasswordCheck PackPassword(std::string_view utf8, PasswordWords& words) {
    const auto chars = platform::DecodeUtf8(utf8);
    if (chars.empty()) return PasswordCheck::Empty;
    if (platform::CountUtf16Units(utf8) > 16) return PasswordCheck::TooLong;
    for (char32_t c : chars)
        if (c > 0xFF || c == 0) return PasswordCheck::BadCharacter;
    PasswordWords packed{};
    for (size_t i = 0; i < chars.size(); ++i) {
        uint16_t c = static_cast<uint16_t>(chars[i]);
        packed[i / 2] =
            (i % 2 == 0) ? static_cast<uint16_t>(c << 8) : static_cast<uint16_t>(packed[i / 2] | c);
    }
    words = packed;
    return PasswordCheck::Ok;
}

const char* PasswordErrorKey(PasswordCheck check) {
    switch (check) {
        case PasswordCheck::TooLong:
            return "passtoolong";
        case PasswordCheck::BadCharacter:
            return "passchars";
        default:
            return "";
    }
}
