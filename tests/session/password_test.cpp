#include "session/password.h"

#include <gtest/gtest.h>

struct PackCase {
    const char* name;
    const char* text;
    PasswordCheck check;
    PasswordWords words;
};

void PrintTo(const PackCase& c, std::ostream* os) {
    *os << c.name;
}

class PackPasswordTest : public ::testing::TestWithParam<PackCase> {};

TEST_P(PackPasswordTest, PacksTwoCharactersPerRegister) {
    PasswordWords words;
    words.fill(0xEEEE);
    EXPECT_EQ(PackPassword(GetParam().text, words), GetParam().check);
    if (GetParam().check == PasswordCheck::Ok)
        EXPECT_EQ(words, GetParam().words);
    else
        EXPECT_EQ(words[0], 0xEEEE) << "a refused password leaves the words alone";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PackPasswordTest,
    ::testing::Values(
        PackCase{"Three", "abc", PasswordCheck::Ok, {0x6162, 0x6300, 0, 0, 0, 0, 0, 0}},
        PackCase{"Sixteen",
                 "0123456789ABCDEF",
                 PasswordCheck::Ok,
                 {0x3031, 0x3233, 0x3435, 0x3637, 0x3839, 0x4142, 0x4344, 0x4546}},
        PackCase{
            "Latin1", "\xC3\xA9t\xC3\xA9", PasswordCheck::Ok, {0xE974, 0xE900, 0, 0, 0, 0, 0, 0}},
        PackCase{"Seventeen", "0123456789ABCDEFG", PasswordCheck::TooLong, {}},
        PackCase{"Empty", "", PasswordCheck::Empty, {}},
        PackCase{"AboveLatin1", "ab\xE3\x81\x82", PasswordCheck::BadCharacter, {}},
        PackCase{"Emoji", "\xF0\x9F\x98\x80", PasswordCheck::BadCharacter, {}}),
    [](const auto& info) { return std::string(info.param.name); });
