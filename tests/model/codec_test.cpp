// Text conversion and validation of every parameter type.
#include <gtest/gtest.h>

#include <vector>

#include "app/private_exception.h"
#include "model/par_interface.h"
#include "test_support.h"

namespace {

// A language file whose error texts show their key and inserts, so that tests see the arguments.
void LoadProbeLanguage() {
    static testing_support::TempDir dir;
    static const std::string path = dir.Write("probe.lng", R"(<?xml version="1.0" encoding="utf-8"?>
<root><application>NORVELT</application><filetype>language</filetype><language>Probe</language>
<message>
  <text name="rangeerr">rangeerr|%1|%2|%3</text>
  <text name="inperr">inperr</text><text name="inpierr">inpierr</text><text name="inpherr">inpherr</text>
  <text name="iperr">iperr</text><text name="hexerr">hexerr|%1</text><text name="enckeyerr">enckeyerr|%1</text>
  <text name="strerr">strerr|%1|%2!I64d!</text><text name="toolongerr">toolongerr|%1|%2!I64d!</text>
  <text name="unitsec">s</text><text name="unitdbm">dBm</text>
</message>
<parameter name="T">
  <text name="p">Label</text>
  <list name="simple"><text name="0">Off</text><text name="1">On</text></list>
  <list name="cmd"><item name="0"><value>0</value><text>None</text></item>
                   <item name="1"><value>65538</value><text>Big</text></item></list>
</parameter></root>)");
    g_resources.Init();
    g_resources.LoadLanguage(path);
}

ParDefinition Def(uint32_t type, int64_t min, int64_t max, int32_t decimals = 0, uint32_t unit = 0,
                  const char* list = nullptr, int64_t dflt = 0) {
    return {type, "p", 100, min, max, dflt, decimals, list, unit, 0};
}

// Keeps definitions alive for the parameters that point at them.
CParInterface Make(const ParDefinition& def) {
    static std::vector<std::unique_ptr<ParDefinition>> keep;
    keep.push_back(std::make_unique<ParDefinition>(def));
    return CParInterface("T", keep.back().get());
}

std::string ErrorOf(CParInterface& p, const std::string& text) {
    try {
        p.SetText(text);
    } catch (const CPrivateException& e) {
        return e.Message();
    }
    return "";
}

std::vector<uint16_t> Words(const CParInterface& p) {
    return {p.Value().Words().begin(), p.Value().Words().end()};
}

struct SetCase {
    const char* name;
    ParDefinition def;
    const char* input;
    const char* error;            // "" when accepted
    std::vector<uint16_t> words;  // registers after an accepted text
    const char* shown;            // GetText afterwards
};

void PrintTo(const SetCase& c, std::ostream* os) {
    *os << c.name;
}

class SetTextTest : public ::testing::TestWithParam<SetCase> {
protected:
    void SetUp() override { LoadProbeLanguage(); }
};

}  // namespace

TEST_P(SetTextTest, ParsesValidatesAndShows) {
    const SetCase& c = GetParam();
    CParInterface p = Make(c.def);
    const auto before = Words(p);
    EXPECT_EQ(ErrorOf(p, c.input), c.error);
    if (*c.error) {
        EXPECT_EQ(Words(p), before) << "a refused text must leave the value as it was";
    } else {
        EXPECT_EQ(Words(p), c.words);
        EXPECT_EQ(p.GetText(), c.shown);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Types, SetTextTest,
    ::testing::Values(
        // Signed with decimals.
        SetCase{"Int1Dec", Def(PAR_INT16, 10, 600, 1), "1.5", "", {15}, "1.5"},
        SetCase{"Int1DecMax", Def(PAR_INT16, 10, 600, 1), "60", "", {600}, "60.0"},
        SetCase{
            "Int1DecRange", Def(PAR_INT16, 10, 600, 1), "60.1", "rangeerr|Label|1.0|60.0", {}, ""},
        SetCase{"Int1DecLetters", Def(PAR_INT16, 10, 600, 1), "abc", "inperr", {}, ""},
        SetCase{"Int1DecEmpty", Def(PAR_INT16, 10, 600, 1), "", "inperr", {}, ""},
        SetCase{"Int1DecTrailing", Def(PAR_INT16, 10, 600, 1), "1.5 ", "inperr", {}, ""},
        SetCase{"Int1DecLeadingSpace", Def(PAR_INT16, 10, 600, 1), "  2.5", "", {25}, "2.5"},
        SetCase{"Int1DecOverflow", Def(PAR_INT16, 10, 600, 1), "1e999", "inperr", {}, ""},
        SetCase{
            "Int1DecHuge", Def(PAR_INT16, 10, 600, 1), "1e30", "rangeerr|Label|1.0|60.0", {}, ""},
        SetCase{"Int1DecNan", Def(PAR_INT16, 10, 600, 1), "nan", "rangeerr|Label|1.0|60.0", {}, ""},
        SetCase{"Int3DecTruncates", Def(PAR_INT16, 4000, 20000, 3), "4.0005", "", {4000}, "4.000"},
        SetCase{"Int2DecNegative", Def(PAR_INT16, -500, 500, 2), "-5", "", {65036}, "-5.00"},
        SetCase{"Int4Dec", Def(PAR_INT16, 9500, 10500, 4), "1.05", "", {10500}, "1.0500"},
        // Whole numbers: 32-bit unsigned conversion, then the signed range.
        SetCase{"IntMinusOne", Def(PAR_INT16, 1, 247), "-1", "rangeerr|Label|1|247", {}, ""},
        SetCase{"IntOverflow", Def(PAR_INT16, 1, 247), "4294967296", "inpierr", {}, ""},
        SetCase{"IntTrailing", Def(PAR_INT16, 1, 247), "12abc", "inpierr", {}, ""},
        SetCase{"IntPlus", Def(PAR_INT16, 1, 247), "+12", "", {12}, "12"},
        SetCase{"IntOnlySign", Def(PAR_INT16, 1, 247), "-", "inpierr", {}, ""},
        SetCase{
            "IntNegativeInRange", Def(PAR_INT16, -32000, 32000), "-32000", "", {33536}, "-32000"},
        SetCase{"UIntMax", Def(PAR_UINT16, 0, 65535), "65535", "", {65535}, "65535"},
        SetCase{"UInt1Dec", Def(PAR_UINT16, 0, 65535, 1), "6553.5", "", {65535}, "6553.5"},
        // 32-bit numbers: decimal or 0x hexadecimal, low word first.
        SetCase{"UInt32", Def(PAR_UINT32, 0, 4294967295), "65538", "", {2, 1}, "65538"},
        SetCase{"UInt32Hex", Def(PAR_UINT32_HEX, 0, 4294967295), "0x10002", "", {2, 1}, "65538"},
        SetCase{"UInt32Range", Def(PAR_UINT32, 0, 1000), "1001", "rangeerr|Label|0|1000", {}, ""},
        SetCase{"UInt32Junk", Def(PAR_UINT32, 0, 1000), "0xZZ", "inpierr", {}, ""},
        // Four hexadecimal digits.
        SetCase{"HexLower", Def(PAR_HEX16, 0, 65534), "fffe", "", {65534}, "FFFE"},
        SetCase{"HexPrefix", Def(PAR_HEX16, 0, 65534), "0x1a", "", {26}, "001A"},
        SetCase{"HexRange", Def(PAR_HEX16, 0, 65534), "FFFF", "rangeerr|Label|0000|FFFE", {}, ""},
        SetCase{"HexJunk", Def(PAR_HEX16, 0, 65534), "12G", "inpherr", {}, ""},
        SetCase{"HexEmpty", Def(PAR_HEX16, 0, 65534), "", "inpherr", {}, ""},
        // IPv4.
        SetCase{"Ip",
                Def(PAR_IPV4, 0, 0),
                "10.20.30.40",
                "",
                {10 * 256 + 20, 30 * 256 + 40},
                "10.20.30.40"},
        SetCase{"IpShort", Def(PAR_IPV4, 0, 0), "10.20.30", "iperr", {}, ""},
        SetCase{"IpOctet", Def(PAR_IPV4, 0, 0), "10.20.30.256", "iperr", {}, ""},
        SetCase{"IpTrailing", Def(PAR_IPV4, 0, 0), "10.20.30.40.", "iperr", {}, ""},
        SetCase{"IpNegative", Def(PAR_IPV4, 0, 0), "10.-1.30.40", "iperr", {}, ""},
        // 128-bit key.
        SetCase{"KeyShort",
                Def(PAR_KEY128, 0, 32),
                "abc",
                "",
                {0, 0, 0, 0, 0, 0, 0, 0x0ABC},
                "00000000000000000000000000000ABC"},
        SetCase{"KeyFull",
                Def(PAR_KEY128, 0, 32),
                "0123456789abcdef0123456789ABCDEF",
                "",
                {0x0123, 0x4567, 0x89AB, 0xCDEF, 0x0123, 0x4567, 0x89AB, 0xCDEF},
                "0123456789ABCDEF0123456789ABCDEF"},
        SetCase{"KeyEmpty", Def(PAR_KEY128, 0, 32), "", "enckeyerr|Label", {}, ""},
        SetCase{"KeyTooLong",
                Def(PAR_KEY128, 0, 32),
                "000000000000000000000000000000000",
                "enckeyerr|Label",
                {},
                ""},
        SetCase{"KeyNotHex", Def(PAR_KEY128, 0, 32), "12x4", "hexerr|Label", {}, ""},
        // Names: restricted characters, high byte first, cleared tail.
        SetCase{"Name",
                Def(PAR_NAME, 0, 16),
                "Plant-A_1",
                "",
                {0x506C, 0x616E, 0x742D, 0x415F, 0x3100, 0, 0, 0},
                "Plant-A_1"},
        SetCase{"NameBadChar", Def(PAR_NAME, 0, 16), "a#b", "strerr|Label|16", {}, ""},
        SetCase{"NameNonAscii", Def(PAR_NAME, 0, 16), "\xC3\xA9", "strerr|Label|16", {}, ""},
        SetCase{"NameTooLong",
                Def(PAR_NAME, 0, 16),
                "abcdefghijklmnopq",
                "toolongerr|Label|16",
                {},
                ""},
        SetCase{"NameEmpty", Def(PAR_NAME, 0, 16), "", "", {0, 0, 0, 0, 0, 0, 0, 0}, ""},
        // Free text: UTF-8 bytes counted, low byte first.
        SetCase{"Text", Def(PAR_TEXT, 0, 8), "SN01", "", {0x4E53, 0x3130, 0, 0}, "SN01"},
        SetCase{"TextFillsRoom", Def(PAR_TEXT, 0, 4), "ABCD", "", {0x4241, 0x4443}, "ABCD"},
        SetCase{"TextUtf8TooLong",
                Def(PAR_TEXT, 0, 4),
                "\xE3\x81\x82\xE3\x81\x84",
                "toolongerr|Label|4",
                {},
                ""},
        SetCase{"TextUtf8", Def(PAR_TEXT, 0, 4), "\xC3\xA9", "", {0xA9C3, 0}, "\xC3\xA9"},
        // Kinds that are never set from text ignore it.
        SetCase{"ListIgnored", Def(PAR_LIST16, 0, 1, 0, 0, "simple"), "1", "", {0}, "Off"},
        SetCase{"ChannelsIgnored",
                Def(PAR_CHANNELS, (43 << 16) | 1, 10),
                "5",
                "",
                {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct ShowCase {
    const char* name;
    ParDefinition def;
    std::vector<uint16_t> words;
    const char* text;
    const char* display;
};

void PrintTo(const ShowCase& c, std::ostream* os) {
    *os << c.name;
}

class GetTextTest : public ::testing::TestWithParam<ShowCase> {
protected:
    void SetUp() override { LoadProbeLanguage(); }
};

TEST_P(GetTextTest, ShowsRegisters) {
    const ShowCase& c = GetParam();
    CParInterface p = Make(c.def);
    for (size_t i = 0; i < c.words.size(); ++i) p.Value().SetWord(i, c.words[i]);
    EXPECT_EQ(p.GetText(), c.text);
    EXPECT_EQ(p.GetDisplayText(), c.display);
}

INSTANTIATE_TEST_SUITE_P(
    Types, GetTextTest,
    ::testing::Values(
        ShowCase{"NameSkipsZeros", Def(PAR_NAME, 0, 6), {0x4142, 0x0000, 0x4300}, "ABC", "ABC"},
        ShowCase{"TextStopsAtZero", Def(PAR_TEXT, 0, 6), {0x4E53, 0x3130, 0x4100}, "SN01", "SN01"},
        ShowCase{"TextNoTerminator", Def(PAR_TEXT, 0, 4), {0x4241, 0x4443}, "ABCD", "ABCD"},
        ShowCase{"TextInvalidUtf8",
                 Def(PAR_TEXT, 0, 4),
                 {0x41FF},
                 "\xEF\xBF\xBD"
                 "A",
                 "\xEF\xBF\xBD"
                 "A"},
        ShowCase{"Channels",
                 Def(PAR_CHANNELS, (43 << 16) | 1, 10),
                 {1, 5, 33, 0, 0, 0, 0, 0, 0, 0},
                 "1, 5, 33",
                 "1, 5, 33"},
        ShowCase{
            "ChannelsWithGap", Def(PAR_CHANNELS, (43 << 16) | 1, 10), {0, 7, 0, 9}, "7, 9", "7, 9"},
        ShowCase{"Mac",
                 Def(PAR_MAC64, 0, 23),
                 {0x0012, 0x3456, 0x789A, 0xBCDE},
                 "00:12:34:56:78:9A:BC:DE",
                 "00:12:34:56:78:9A:BC:DE"},
        ShowCase{"Version", Def(PAR_VERSION, 0, 3), {1, 12, 3}, "1.12.3", "1.12.3"},
        ShowCase{"VersionHex", Def(PAR_VERSION_HEX, 0, 3), {1, 12, 255}, "1.c.ff", "1.c.ff"},
        ShowCase{"Uint32Hex",
                 Def(PAR_UINT32_HEX, 0, 0),
                 {0x5678, 0x1234},
                 "305419896",
                 "305419896 (0x12345678)"},
        ShowCase{"UnitAppended", Def(PAR_INT16, 10, 600, 1, UNIT_SEC), {15}, "1.5", "1.5 (s)"},
        ShowCase{"Rssi",
                 Def(PAR_INT16, 0, 0, 0, UNIT_DBM),
                 {static_cast<uint16_t>(-103)},
                 "-103",
                 "-103 (dBm)"},
        // A unit the file lacks comes from English.lng.
        ShowCase{
            "UnitMissingInFileIsEnglish", Def(PAR_INT16, 0, 0, 0, UNIT_MA), {4}, "4", "4 (mA)"},
        ShowCase{"ListSimple", Def(PAR_LIST16, 0, 1, 0, 0, "simple"), {1}, "On", "On"},
        ShowCase{"ListNoItem", Def(PAR_LIST16, 0, 1, 0, 0, "simple"), {7}, "", ""},
        ShowCase{"List32Item", Def(PAR_LIST32, 0, 0, 0, 0, "cmd"), {2, 1}, "Big", "Big"},
        ShowCase{"Ip", Def(PAR_IPV4, 0, 0), {0xC0A8, 0x0001}, "192.168.0.1", "192.168.0.1"},
        ShowCase{"Group", Def(PAR_GROUP, 0, 0), {}, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Codec, DefaultsFollowTheType) {
    LoadProbeLanguage();
    // A 32-bit list default keeps its low word first; an IPv4 default its high word first.
    EXPECT_EQ(Words(Make(Def(PAR_LIST32, 0, 0, 0, 0, "cmd", 65538))),
              (std::vector<uint16_t>{2, 1}));
    EXPECT_EQ(Words(Make(Def(PAR_IPV4, 0, 0, 0, 0, nullptr, 65538))),
              (std::vector<uint16_t>{1, 2}));
    EXPECT_EQ(Make(Def(PAR_NAME, 0, 16)).Value().Count(), 8);
    EXPECT_TRUE(Make(Def(PAR_NAME, 0, 16)).Value().HighByteFirst());
    EXPECT_EQ(Make(Def(PAR_TEXT, 0, 32)).Value().Count(), 16);
    EXPECT_FALSE(Make(Def(PAR_TEXT, 0, 32)).Value().HighByteFirst());
    EXPECT_EQ(Make(Def(PAR_GROUP, 0, 0)).Value().Count(), 0);
}

TEST(Codec, NumbersListsAndStoredValues) {
    LoadProbeLanguage();
    CParInterface list = Make(Def(PAR_LIST32, 0, 0, 0, 0, "cmd"));
    EXPECT_EQ(list.GetListValue(1), 65538);
    EXPECT_EQ(list.GetListValue(2), -1);
    EXPECT_EQ(list.FormatNumber(65538), "Big");
    list.SetNumber(65538);
    EXPECT_EQ(Words(list), (std::vector<uint16_t>{2, 1}));

    CParInterface simple = Make(Def(PAR_LIST16, 0, 1, 0, 0, "simple"));
    EXPECT_EQ(simple.GetListValue(1), 1);
    EXPECT_EQ(simple.GetListValue(2), -1);

    CParInterface number = Make(Def(PAR_INT16, 0, 100));
    EXPECT_EQ(number.GetListValue(3), 3);  // not a list: the position itself
    number.SetNumber(-2);                  // unvalidated
    EXPECT_EQ(number.GetText(), "-2");

    CParInterface channels = Make(Def(PAR_CHANNELS, (43 << 16) | 1, 10));
    uint16_t chosen[10] = {3, 9, 40};
    channels.SetValue(CParValue(0, 10, chosen));
    EXPECT_EQ(channels.GetText(), "3, 9, 40");
    EXPECT_EQ(channels.Value().Address(), 100);
}

TEST(Codec, TextPackingKeepsOrOverwritesTheTail) {
    CParValue low(0, 3, nullptr, false);
    low.SetString(0, "ABCDE");
    low.SetString(0, "xy");  // later bytes keep their content, the zero ends the text
    EXPECT_EQ(low.Word(1), 0x4400);
    EXPECT_EQ(low.GetString(0), "xy");
    CParValue high(0, 3, nullptr, true);
    high.SetString(0, "ABCDE");
    high.SetString(0, "xy");  // every remaining byte is cleared
    EXPECT_EQ(high.Word(1), 0);
    EXPECT_EQ(high.GetString(0), "xy");
}
