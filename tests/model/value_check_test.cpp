// The check of a whole model's values against what each parameter allows.
#include "model/value_check.h"

#include <gtest/gtest.h>

#include "model/dev_types.h"
#include "test_support.h"

namespace {

using testing_support::KeyText;

std::unique_ptr<CDevInterface> Model(const char* code) {
    return CDevType().Create(CDevType::FindModel(code), 0, DEV_SETTINGS);
}

class ValueCheck : public ::testing::Test {
protected:
    void SetUp() override { testing_support::LoadEnglish(); }
};

}  // namespace

TEST_F(ValueCheck, EveryModelsDefaultsAreAllowed) {
    for (int entry = 0; entry < CDevType::EntryCount(); ++entry) {
        for (int factory : {DEV_SETTINGS, DEV_MONITOR}) {
            auto model = CDevType().Create(entry, 0, factory);
            for (const ValueProblem& p : CheckValues(*model))
                ADD_FAILURE() << model->ModelCode() << ": " << DescribeProblem(p);
        }
    }
}

// Registers as a file or a device may hold them, one refused value of each kind.
TEST_F(ValueCheck, NamesEachRefusedValueWithWhatIsAllowed) {
    auto model = Model("RB16KT5QA");
    model->Find("runtm").Value().SetWord(0, 65535);   // -0.1 s: below 1.0
    model->Find("rate").Value().SetWord(0, 99);       // no such list entry
    model->Find("panid").Value().SetWord(0, 0xFFFF);  // above FFFE
    model->Find("netname").Value().SetString(0, "a\x1b[2J");
    auto& ch = model->Find("ch").Value();
    ch.SetWord(0, 99);
    struct Expected {
        const char* key;
        std::string value;
        std::string allowed;
    };
    const Expected expected[] = {
        {"rate", "99", KeyText("val.list", {"9600 bit/s, 19200 bit/s, 38400 bit/s, 115200 bit/s"})},
        {"panid", "FFFF", KeyText("val.range", {"0000", "FFFE"})},
        {"ch", "99", ""},
        {"netname", "a\x1b[2J", KeyText("val.name", {int64_t{16}})},
        {"runtm", "-0.1", KeyText("val.range", {"1.0", "60.0"})},
    };
    const auto problems = CheckValues(*model);
    ASSERT_EQ(problems.size(), std::size(expected));
    for (size_t i = 0; i < problems.size(); ++i) {
        SCOPED_TRACE(expected[i].key);
        EXPECT_EQ(problems[i].index, model->IndexOf(expected[i].key));
        EXPECT_EQ(problems[i].label, model->Find(expected[i].key).GetLabel());
        EXPECT_EQ(problems[i].value, expected[i].value);
        if (!expected[i].allowed.empty()) {
            EXPECT_EQ(problems[i].allowed, expected[i].allowed);
        }
    }
    const std::string refusal = DescribeRefusal(problems);
    EXPECT_NE(refusal.find(DescribeProblem(problems[0])), std::string::npos);
    EXPECT_TRUE(refusal.starts_with(KeyText("val.refused", {""}))) << refusal;
}

TEST_F(ValueCheck, ChannelSetsOutsideTheRangeOrAboveTenAreRefused) {
    auto model = Model("RB16KT5QA");
    CParInterface& ch = model->Find("ch");
    const int lowest = static_cast<int>(ch.Minimum() & 0xFFFF);
    const int highest = static_cast<int>((ch.Minimum() >> 16) & 0xFFFF);
    auto problemsWith = [&](std::vector<uint16_t> words) {
        for (size_t k = 0; k < ch.Value().Count(); ++k)
            ch.Value().SetWord(k, k < words.size() ? words[k] : 0);
        return CheckValues(*model).size();
    };
    EXPECT_EQ(problemsWith({static_cast<uint16_t>(lowest), static_cast<uint16_t>(highest)}), 0u);
    EXPECT_EQ(problemsWith({}), 0u) << "an empty set is allowed";
    EXPECT_EQ(problemsWith({static_cast<uint16_t>(highest + 1)}), 1u);
    if (lowest > 1) {
        EXPECT_EQ(problemsWith({static_cast<uint16_t>(lowest - 1)}), 1u);
    }
}
