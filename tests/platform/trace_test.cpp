#include "platform/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(Trace, EveryLineEndsInExactlyOneLineBreak) {
    std::vector<std::string> lines;
    platform::SetTraceSink([&](std::string_view line) { lines.emplace_back(line); });
    platform::Trace("Timeout\n");
    platform::Trace("Timeout");
    platform::Trace("two\nlines");
    platform::SetTraceSink({});
    EXPECT_EQ(lines, (std::vector<std::string>{"Timeout", "Timeout", "two\nlines"}));
}
