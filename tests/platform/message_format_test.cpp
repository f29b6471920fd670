#include "platform/message_format.h"

#include <gtest/gtest.h>

#include <vector>

using platform::FormatArg;
using platform::FormatMessageText;

struct FormatCase {
    const char* templ;
    std::vector<FormatArg> args;
    const char* expected;
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.templ;
}

class FormatMessageTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatMessageTest, ExpandsInserts) {
    const auto& c = GetParam();
    EXPECT_EQ(FormatMessageText(c.templ, c.args), c.expected) << c.templ;
}

INSTANTIATE_TEST_SUITE_P(
    Inserts, FormatMessageTest,
    ::testing::Values(
        FormatCase{"plain", {}, "plain"},
        FormatCase{"%1 and %2", {std::string("a"), std::string("b")}, "a and b"},
        FormatCase{"%2 before %1", {std::string("a"), std::string("b")}, "b before a"},
        FormatCase{"code %1!d!", {int32_t{12}}, "code 12"},
        FormatCase{"neg %1!d!", {int32_t{-5}}, "neg -5"},
        FormatCase{"unsigned %1!u!", {int32_t{-1}}, "unsigned 4294967295"},
        FormatCase{"hex %1!x! %1!X! %1!04X!", {int32_t{255}}, "hex ff FF 00FF"},
        FormatCase{"max %1!I64d!", {int64_t{9000000000}}, "max 9000000000"},
        FormatCase{"max %1!lld!", {int64_t{-9000000000}}, "max -9000000000"},
        FormatCase{"str %1!s!", {std::string("x")}, "str x"},
        FormatCase{"pad [%1!-4s!]", {std::string("ab")}, "pad [ab  ]"},
        FormatCase{"line%nbreak", {}, "line\nbreak"}, FormatCase{"100%% sure", {}, "100% sure"},
        FormatCase{"stop%0ignored", {}, "stop"}, FormatCase{"dot%. bang%!", {}, "dot. bang!"},
        FormatCase{"ten %10",
                   {std::string("1"), std::string("2"), std::string("3"), std::string("4"),
                    std::string("5"), std::string("6"), std::string("7"), std::string("8"),
                    std::string("9"), std::string("X")},
                   "ten X"},
        // Malformed or mismatching templates never fail and never read the wrong kind.
        FormatCase{"missing %3", {std::string("a")}, "missing %3"},
        FormatCase{"unclosed %1!d", {int32_t{7}}, "unclosed 7!d"},
        FormatCase{"bad %1!q!", {std::string("s")}, "bad s!q!"},
        FormatCase{"num as str %1", {int32_t{42}}, "num as str 42"},
        FormatCase{"str as num %1!d!", {std::string("text")}, "str as num text"},
        FormatCase{"trailing %", {}, "trailing %"},
        FormatCase{"huge %1!99999d!", {int32_t{1}}, "huge 1!99999d!"}));
