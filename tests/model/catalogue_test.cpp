// The device-type table, the model tables, their rules and locks, and the register image.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "app/private_exception.h"
#include "model/dev_types.h"
#include "model/modbus_mapping.h"
#include "model/model_listing.h"
#include "test_support.h"

namespace {

class Catalogue : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::LoadEnglish();
        SetUserNoticeHook([this](const std::string& text) { notices.push_back(text); });
    }
    void TearDown() override { SetUserNoticeHook({}); }

    // The user's edit of a list value: store the number, then run the model's rules.
    static void Choose(CDevInterface& m, const char* key, int32_t value) {
        m.Find(key).SetNumber(value);
        m.OnChanged(m.IndexOf(key));
    }
    static void Type(CDevInterface& m, const char* key, const char* text) {
        m.Find(key).SetText(text);
        m.OnChanged(m.IndexOf(key));
    }
    static uint16_t ValueOf(const CDevInterface& m, const char* key) {
        return m.Find(key).Value().Word(0);
    }
    static bool Locked(const CDevInterface& m, const char* key) {
        return m.IsLocked(m.IndexOf(key));
    }

    CDevType types;
    std::vector<std::string> notices;
};

std::unique_ptr<CDevInterface> Settings(const char* modelCode) {
    return CDevType().Create(CDevType::FindModel(modelCode), 0, DEV_SETTINGS);
}

}  // namespace

TEST_F(Catalogue, FindsEntriesByTypeCode) {
    EXPECT_EQ(types.FindEntry(20242, 0), 0);
    EXPECT_EQ(types.FindEntry(20242, 0xFFFFFFFF), 0);
    EXPECT_EQ(types.FindEntry(19730, MakeVersion(2, 1)), 6);
    EXPECT_EQ(types.FindEntry(20245, 0), -1);
    EXPECT_EQ(types.CreateFor(20245, 0, DEV_SETTINGS), nullptr);

    auto qa = types.Create(3, 0, DEV_SETTINGS);
    ASSERT_NE(dynamic_cast<CDevKT5QA*>(qa.get()), nullptr);
    EXPECT_EQ(qa->TypeCode(), 18962);
    EXPECT_EQ(qa->Version(), 65536u);
    EXPECT_EQ(qa->VersionMin(), 0u);
    EXPECT_EQ(qa->VersionMax(), 0xFFFFFFFFu);
    EXPECT_EQ(types.CreateFor(20243, MakeVersion(1, 2), DEV_MONITOR)->Version(), MakeVersion(1, 2));
}

TEST_F(Catalogue, EveryEntryBuildsItsClassesAndRowCounts) {
    struct Expect {
        int settingsRows, monitorRows;
        const char* monitorSection;
    };
    const Expect expect[] = {{22, 20, "RB16KT5_2"},    {21, 23, "RB16T5-PLX4M_2"},
                             {37, 21, "RB16T5-SQ7_2"}, {22, 20, "RB16KT5QA"},
                             {23, 20, "RB16KT5QA"},    {23, 20, "RB16KT5QA"},
                             {22, 20, "RB16KT5QA"}};
    for (int i = 0; i < CDevType::EntryCount(); ++i) {
        auto settings = types.Create(i, 0, DEV_SETTINGS);
        auto monitor = types.Create(i, 0, DEV_MONITOR);
        EXPECT_EQ(settings->Count(), expect[i].settingsRows) << i;
        EXPECT_EQ(monitor->Count(), expect[i].monitorRows) << i;
        EXPECT_STREQ(settings->ModelCode(), CDevType::Entry(i).modelCode);
        EXPECT_STREQ(monitor->ModelCode(), expect[i].monitorSection) << i;
        EXPECT_EQ(monitor->TypeCode(), CDevType::Entry(i).typeCode);
        EXPECT_FALSE(types.LongName(i).empty());
        EXPECT_TRUE(settings->IsLocked(0)) << "every table opens with a group header";
        EXPECT_EQ(settings->At(0).Value().Count(), 0);
    }
    for (int i : {4, 5, 6})
        EXPECT_NE(dynamic_cast<CDevMKT5QA*>(types.Create(i, 0, DEV_MONITOR).get()), nullptr);
}

TEST_F(Catalogue, TablesCarryTheRegionalDifferences) {
    struct Region {
        const char* model;
        int64_t channels;
        int64_t txpwrMax;
        bool dutytm;
    };
    for (const Region& r :
         {Region{"RB16KT5_2", 2818049, 3, false}, Region{"RB16KT5QA", 524289, 3, false},
          Region{"RB16KT5QB", 524289, 3, true}, Region{"RB16KT5QC", 458754, 3, true},
          Region{"RB16KT5QD", 917505, 4, false}, Region{"RB16T5-PLX4M_2", 2818049, 3, false},
          Region{"RB16T5-SQ7_2", 2818049, 3, false}}) {
        auto m = Settings(r.model);
        EXPECT_EQ(m->Find("ch").Minimum(), r.channels) << r.model;
        EXPECT_EQ(m->Find("txpwr").Maximum(), r.txpwrMax) << r.model;
        EXPECT_EQ(m->Is(m->IndexOf("dutytm"), "dutytm"), r.dutytm) << r.model;
    }
}

TEST_F(Catalogue, IndexOfMissingKeyAnswersZero) {
    auto m = Settings("RB16KT5_2");
    EXPECT_EQ(m->IndexOf("nosuchkey"), 0);
    EXPECT_EQ(m->IndexOf("rs485"), 0);
    EXPECT_EQ(&m->Find("nosuchkey"), &m->At(0));
    // Two rows of one register are distinct parameters.
    auto plx = types.Create(1, 0, DEV_MONITOR);
    EXPECT_NE(plx->IndexOf("do1"), plx->IndexOf("do1ch"));
    EXPECT_EQ(plx->Find("do1").Value().Address(), plx->Find("do1ch").Value().Address());
}

TEST_F(Catalogue, FixedRouteClearsAndLocksDestination) {
    auto m = Settings("RB16KT5_2");
    Choose(*m, "fixroute", 1);
    Type(*m, "detoadrs", "1234");
    Choose(*m, "detoflg", 0);
    EXPECT_FALSE(Locked(*m, "detoadrs"));
    Choose(*m, "fixroute", 0);
    EXPECT_EQ(ValueOf(*m, "detoadrs"), 0);
    EXPECT_EQ(ValueOf(*m, "detoflg"), 1);
    EXPECT_TRUE(Locked(*m, "detoadrs"));
    EXPECT_TRUE(Locked(*m, "detoflg"));
    Choose(*m, "fixroute", 1);
    EXPECT_EQ(ValueOf(*m, "detoflg"), 1);
    EXPECT_FALSE(Locked(*m, "detoadrs"));
}

TEST_F(Catalogue, SlowMovingForcesScaleAndJoining) {
    auto m = Settings("RB16KT5QB");
    Choose(*m, "joining", 2);
    Choose(*m, "slowmoving", 2);
    EXPECT_EQ(ValueOf(*m, "netscale"), 3);
    EXPECT_EQ(ValueOf(*m, "joining"), 1);
    EXPECT_TRUE(Locked(*m, "netscale"));
    EXPECT_TRUE(Locked(*m, "joining"));
    Choose(*m, "slowmoving", 1);
    EXPECT_FALSE(Locked(*m, "netscale"));
    EXPECT_TRUE(Locked(*m, "joining")) << "netscale is still 3";
    Choose(*m, "netscale", 0);
    Choose(*m, "joining", 2);
    Choose(*m, "netscale", 3);
    EXPECT_EQ(ValueOf(*m, "joining"), 1);
}

TEST_F(Catalogue, NetworkFilterOffResetsItsTime) {
    auto m = Settings("RB16KT5QC");
    Type(*m, "netfiltertm", "30.5");
    EXPECT_EQ(ValueOf(*m, "netfiltertm"), 305);
    Choose(*m, "netfilter", 0);
    EXPECT_EQ(ValueOf(*m, "netfiltertm"), 10);
    EXPECT_TRUE(Locked(*m, "netfiltertm"));
}

TEST_F(Catalogue, TransmitPowerLimitOnLowChannels) {
    auto m = Settings("RB16KT5QD");
    uint16_t high[10] = {8, 14};
    m->Find("ch").SetValue(CParValue(0, 10, high));
    m->OnChanged(m->IndexOf("ch"));
    Choose(*m, "txpwr", 4);
    EXPECT_EQ(ValueOf(*m, "txpwr"), 4) << "channels 8 to 14 allow level 4";
    EXPECT_TRUE(notices.empty());

    uint16_t low[10] = {5, 8};
    m->Find("ch").SetValue(CParValue(0, 10, low));
    m->OnChanged(m->IndexOf("ch"));
    EXPECT_EQ(ValueOf(*m, "txpwr"), 3);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0], g_resources.GetParameterText("RB16KT5QD", "txlimit"));
    EXPECT_FALSE(notices[0].empty());

    // Other models have no such limit.
    auto other = Settings("RB16KT5QA");
    other->Find("ch").SetValue(CParValue(0, 10, low));
    other->Find("txpwr").SetNumber(4);
    other->OnChanged(other->IndexOf("ch"));
    EXPECT_EQ(ValueOf(*other, "txpwr"), 4);
    EXPECT_EQ(notices.size(), 1u);
}

TEST_F(Catalogue, AnalogueInputRangesAndLocks) {
    auto m = Settings("RB16T5-SQ7_2");
    Type(*m, "finp", "12.000");
    EXPECT_EQ(ValueOf(*m, "finp"), 12000);
    EXPECT_THROW(m->Find("zinp").SetText("13.000"), CPrivateException);
    Type(*m, "zinp", "8");
    EXPECT_THROW(m->Find("finp").SetText("7.999"), CPrivateException);
    EXPECT_NO_THROW(m->Find("finp").SetText("19"));
    // The second input is independent.
    EXPECT_NO_THROW(m->Find("zinp2").SetText("13.000"));

    Choose(*m, "enable", 1);
    for (const char* key : {"zinp", "finp", "zadj", "gadj", "zscal", "fscal", "filter"})
        EXPECT_TRUE(Locked(*m, key)) << key;
    EXPECT_FALSE(Locked(*m, "zinp2"));
    EXPECT_FALSE(Locked(*m, "enable"));
    Choose(*m, "enable2", 1);
    EXPECT_TRUE(Locked(*m, "filter2"));
    Choose(*m, "fixroute", 0);
    EXPECT_TRUE(Locked(*m, "detoflg"));
}

// Every monitor model blanks zero status values and shows a weak signal with the out-of-range
// text of its own text section; the fixture gives each section a text of its own to tell them
// apart.
TEST_F(Catalogue, MonitorTextsBlankZeroStatusAndWeakSignal) {
    std::string language = testing_support::ReadFile("English.lng");
    const std::string weak = "<text name=\"outnrvl\">Out of range</text>";
    for (size_t at = language.find("<parameter name=\""); at != std::string::npos;
         at = language.find("<parameter name=\"", at + 1)) {
        const size_t nameAt = at + 17;
        const std::string section = language.substr(nameAt, language.find('"', nameAt) - nameAt);
        const size_t text = language.find(weak, at);
        ASSERT_NE(text, std::string::npos) << section;
        language.replace(text, weak.size(),
                         "<text name=\"outnrvl\">weak in " + section + "</text>");
    }
    testing_support::TempDir dir;
    g_resources.LoadLanguage(dir.Write("sections.lng", language));
    const char* const kTextSection[] = {"RB16KT5_2", "RB16T5-PLX4M_2", "RB16T5-SQ7_2", "RB16KT5_2",
                                        "RB16KT5_2", "RB16KT5_2",      "RB16KT5_2"};
    for (int entry = 0; entry < CDevType::EntryCount(); ++entry) {
        SCOPED_TRACE(CDevType::Entry(entry).modelCode);
        auto m = types.Create(entry, 0, DEV_MONITOR);
        auto text = [&](const char* key) {
            int i = m->IndexOf(key);
            return m->AdjustText(i, m->At(i).GetDisplayText());
        };
        for (const char* key : {"nrvlfirmver", "mac", "rpanid", "rch", "rsadrs"})
            EXPECT_EQ(text(key), "") << key;
        m->Find("rpanid").SetNumber(0x1234);
        EXPECT_EQ(text("rpanid"), "1234");
        m->Find("rsadrs").SetNumber(0x0001);
        EXPECT_EQ(text("rsadrs"), m->Find("rsadrs").GetDisplayText());
        m->Find("rssi").SetNumber(-103);
        EXPECT_EQ(text("rssi"), "-103 (" + g_resources.GetMessageText("unitdbm") + ")");
        m->Find("rssi").SetNumber(-104);
        EXPECT_EQ(text("rssi"), std::string("weak in ") + kTextSection[entry]);
        m->Find("rssi").SetNumber(-32768);
        EXPECT_EQ(text("rssi"), std::string("weak in ") + kTextSection[entry]);
    }
}

// Blocks of the register image for every model, in request order.
TEST_F(Catalogue, RegisterImageBlocksOfEveryModel) {
    using Blocks = std::vector<std::pair<int, int>>;
    const Blocks kMonitorKT5 = {{3000, 3}, {3016, 24}, {1321, 3}, {1300, 18}, {1160, 3}, {9000, 2}};
    const Blocks kMonitorIO = {{3000, 3}, {3016, 24}, {1321, 3}, {1300, 18}, {1000, 4}, {9000, 2}};
    const Blocks kKT5 = {{1150, 3}, {1200, 12}, {1213, 16}, {1230, 8}, {1239, 4}};
    const Blocks kKT5QB = {{1150, 3}, {1200, 12}, {1213, 25}, {1239, 4}};
    struct Case {
        int entry, factory;
        Blocks blocks;
    };
    const Case cases[] = {
        {0, DEV_MONITOR, kMonitorKT5},
        {3, DEV_MONITOR, kMonitorKT5},
        {1, DEV_MONITOR, kMonitorIO},
        {2, DEV_MONITOR, kMonitorIO},
        {0, DEV_SETTINGS, kKT5},
        {3, DEV_SETTINGS, kKT5},
        {6, DEV_SETTINGS, kKT5},
        {4, DEV_SETTINGS, kKT5QB},
        {5, DEV_SETTINGS, kKT5QB},
        {1, DEV_SETTINGS, {{1130, 1}, {1200, 12}, {1213, 16}, {1230, 13}}},
        {2, DEV_SETTINGS, {{1120, 1}, {1100, 14}, {1130, 1}, {1200, 12}, {1213, 16}, {1230, 13}}},
    };
    for (const Case& c : cases) {
        auto model = types.Create(c.entry, 0, c.factory);
        CModbusMapping image;
        image.AddModel(*model);
        Blocks got;
        for (const CParValue& b : image.Blocks()) got.emplace_back(b.Address(), b.Count());
        EXPECT_EQ(got, c.blocks) << "entry " << c.entry << " factory " << c.factory;
    }
}

TEST(RegisterImage, MergesRuns) {
    auto blocks = [](const CModbusMapping& m) {
        std::vector<std::pair<int, int>> out;
        for (const CParValue& b : m.Blocks()) out.emplace_back(b.Address(), b.Count());
        return out;
    };
    CModbusMapping consecutive;
    for (uint16_t a : {1150, 1151, 1152}) consecutive.Add(CParValue(a, a));
    EXPECT_EQ(blocks(consecutive), (std::vector<std::pair<int, int>>{{1150, 3}}));

    CModbusMapping before;
    before.Add(CParValue(1231, 0xB));
    before.Add(CParValue(1230, 0xA));
    ASSERT_EQ(blocks(before), (std::vector<std::pair<int, int>>{{1230, 2}}));
    EXPECT_EQ(before.Blocks()[0].Word(0), 0xA);
    EXPECT_EQ(before.Blocks()[0].Word(1), 0xB);

    CModbusMapping joined;
    joined.Add(CParValue(1242, 1));
    uint16_t two[2] = {2, 3};
    joined.Add(CParValue(1239, 2, two));
    joined.Add(CParValue(1241, 4));
    ASSERT_EQ(blocks(joined), (std::vector<std::pair<int, int>>{{1239, 4}}));
    EXPECT_EQ(
        std::vector<uint16_t>(joined.Blocks()[0].Words().begin(), joined.Blocks()[0].Words().end()),
        (std::vector<uint16_t>{2, 3, 4, 1}));

    CModbusMapping same;
    same.Add(CParValue(10, 7));
    same.Add(CParValue(10, 9));
    EXPECT_EQ(blocks(same), (std::vector<std::pair<int, int>>{{10, 1}}));
    CParValue a(10, 0), b(10, 0), elsewhere(50, 5);
    same.Fetch(a);
    same.Fetch(b);
    same.Fetch(elsewhere);
    EXPECT_EQ(a.Word(0), 7);
    EXPECT_EQ(b.Word(0), 7);
    EXPECT_EQ(elsewhere.Word(0), 5);

    CModbusMapping empty;
    empty.Add(CParValue(5, 0, nullptr));
    EXPECT_TRUE(empty.Blocks().empty());
}

TEST(RegisterImage, PartialOverlapNeverReadsPastTheBlock) {
    CModbusMapping image;
    uint16_t words[2] = {1, 2};
    image.Add(CParValue(100, 2, words));
    CParValue overlap(101, 3, nullptr);
    overlap.SetWord(1, 77);
    overlap.SetWord(2, 88);
    image.Add(overlap);
    image.Fetch(overlap);
    EXPECT_EQ(overlap.Word(0), 2);
    EXPECT_EQ(overlap.Word(1), 77);
    EXPECT_EQ(overlap.Word(2), 88);
}

TEST_F(Catalogue, ReadBackRunsRulesInIndexOrder) {
    auto m = Settings("RB16KT5_2");
    CModbusMapping image;
    image.AddModel(*m);
    // A device whose fixroute is 0 but that reports its own destination values.
    for (CParValue& b : image.Blocks())
        for (size_t i = 0; i < b.Count(); ++i) b.SetWord(i, 0);
    image.FetchModel(*m);
    EXPECT_EQ(ValueOf(*m, "fixroute"), 0);
    EXPECT_EQ(ValueOf(*m, "detoflg"), 0) << "fetched after the rule of fixroute ran";
    EXPECT_TRUE(m->IsLocked(m->IndexOf("detoflg")));
}

TEST_F(Catalogue, ListingShowsLabelsAndTexts) {
    auto m = Settings("RB16KT5_2");
    auto rows = ListModel(*m);
    ASSERT_EQ(rows.size(), 22u);
    EXPECT_TRUE(rows[0].group);
    EXPECT_EQ(rows[0].label, g_resources.GetParameterText("RB16KT5_2", "rs485"));
    for (const ModelRow& row : rows) EXPECT_FALSE(row.label.empty()) << row.index;
    EXPECT_EQ(rows[static_cast<size_t>(m->IndexOf("runtm"))].text,
              "3.0 (" + g_resources.GetMessageText("unitsec") + ")");
}
