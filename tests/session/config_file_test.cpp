#include "session/config_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/private_exception.h"
#include "model/dev_types.h"
#include "test_support.h"

using testing_support::TempDir;

namespace {

std::string ErrorOf(const std::string& path) {
    try {
        LoadConfiguration(path);
    } catch (const CPrivateException& e) {
        return e.Message();
    }
    return "";
}

std::string Read(const std::string& path) {
    return testing_support::ReadFile(path);
}

// A valid file of the KT5_2 settings model with its default words, as text lines to edit.
std::string DefaultFile(const std::string& header = "") {
    TempDir dir;
    auto model = CDevType().Create(0, 0, DEV_SETTINGS);
    SaveConfiguration(*model, dir.File("d.cfg"));
    std::string text = Read(dir.File("d.cfg"));
    if (!header.empty()) text.replace(text.find("<root>") + 6, 0, header);
    return text;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    auto pos = text.find(from);
    EXPECT_NE(pos, std::string::npos) << from;
    if (pos != std::string::npos) text.replace(pos, from.size(), to);
    return text;
}

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override { testing_support::LoadEnglish(); }
    TempDir dir;
};

}  // namespace

TEST_F(ConfigFile, SaveThenLoadGivesTheSameModel) {
    CDevType types;
    for (int entry = 0; entry < CDevType::EntryCount(); ++entry) {
        auto model = types.Create(entry, MakeVersion(2, 3), DEV_SETTINGS);
        for (int i = 0; i < model->Count(); ++i)
            for (size_t k = 0; k < model->At(i).Value().Count(); ++k)
                model->At(i).Value().SetWord(k, static_cast<uint16_t>(1000 * i + k));
        SaveConfiguration(*model, dir.File("m.cfg"));
        auto back = LoadConfiguration(dir.File("m.cfg"));
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->TypeCode(), model->TypeCode());
        EXPECT_EQ(back->Version(), MakeVersion(2, 3));
        for (int i = 0; i < model->Count(); ++i) {
            auto a = model->At(i).Value().Words(), b = back->At(i).Value().Words();
            EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end())) << entry << "/" << i;
        }
    }
}

TEST_F(ConfigFile, WritesHeaderAndRegistersInParameterOrder) {
    auto model = CDevType().Create(0, 0, DEV_SETTINGS);
    SaveConfiguration(*model, dir.File("m.cfg"));
    CXmlReaderWriter doc;
    doc.Load(dir.File("m.cfg"));
    EXPECT_EQ(doc.GetText("/root/application"), "NORVELCO");
    EXPECT_EQ(doc.GetText("/root/filetype"), "configuration");
    EXPECT_EQ(doc.GetText("/root/version"), "1.1");
    EXPECT_EQ(doc.GetText("/root/device"), "20242");
    EXPECT_EQ(doc.GetText("/root/devver"), "65536");
    std::vector<std::string> adrs;
    doc.ForEachChild("/root", [&](const std::string& name, const std::string&, const std::string&) {
        if (name == "parameter") adrs.push_back("");
    });
    EXPECT_EQ(adrs.size(), 43u);  // 3 + 1 + 10 + 1 + 8 + 8 + 12 registers
    std::string text = Read(dir.File("m.cfg"));
    EXPECT_LT(text.find("adrs=\"1150\""), text.find("adrs=\"1200\""));
    EXPECT_LT(text.find("adrs=\"1242\""), text.find("adrs=\"1231\""))
        << "index order, not address order";
}

TEST_F(ConfigFile, LoadRunsTheModelRules) {
    auto model = CDevType().Create(CDevType::FindModel("RB16T5-SQ7_2"), 0, DEV_SETTINGS);
    model->Find("finp").SetNumber(12000);
    SaveConfiguration(*model, dir.File("m.cfg"));
    auto loaded = LoadConfiguration(dir.File("m.cfg"));
    // The rule of "finp" ran on load: "zinp" can no longer be entered above it.
    EXPECT_EQ(loaded->Find("zinp").Maximum(), 12000);
    EXPECT_TRUE(loaded->IsLocked(loaded->IndexOf("detoadrs")));
}

struct RegisterCase {
    const char* name;
    const char* text;   // the text of the element of register 1150 ("rate")
    const char* attr;   // its adrs attribute
    const char* error;  // "" for success
    uint16_t word;
};

void PrintTo(const RegisterCase& c, std::ostream* os) {
    *os << c.name;
}

class RegisterTexts : public ConfigFile, public ::testing::WithParamInterface<RegisterCase> {};

TEST_P(RegisterTexts, LoadAsTheCLibraryReadsThem) {
    const RegisterCase& c = GetParam();
    std::string text =
        Replace(DefaultFile(), "<parameter adrs=\"1150\">0</parameter>",
                std::string("<parameter adrs=\"") + c.attr + "\">" + c.text + "</parameter>");
    std::string expected = *c.error ? g_resources.GetMessageText(c.error) : "";
    EXPECT_EQ(ErrorOf(dir.Write("c.cfg", text)), expected);
    if (!*c.error) {
        EXPECT_EQ(LoadConfiguration(dir.File("c.cfg"))->Find("rate").Value().Word(0), c.word);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RegisterTexts,
                         ::testing::Values(RegisterCase{"Plain", "3", "1150", "", 3},
                                           RegisterCase{"LeadingZeroAddress", "3", "01150",
                                                        "desfileerr", 0},
                                           RegisterCase{"MinusOne", "-1", "1150", "", 65535},
                                           RegisterCase{"Above16Bits", "70000", "1150", "", 4464},
                                           RegisterCase{"TrailingLetters", "12abc", "1150", "", 12},
                                           RegisterCase{"Empty", "", "1150", "", 0},
                                           RegisterCase{"Letters", "abc", "1150", "", 0},
                                           RegisterCase{"Huge", "99999999999", "1150", "", 65535}),
                         [](const auto& info) { return std::string(info.param.name); });

struct FileCase {
    const char* name;
    std::string (*content)();
    const char* error;
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

class BadFiles : public ConfigFile, public ::testing::WithParamInterface<FileCase> {};

TEST_P(BadFiles, GiveTheirErrorKey) {
    EXPECT_EQ(ErrorOf(dir.Write("bad.cfg", GetParam().content())),
              g_resources.GetMessageText(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadFiles,
    ::testing::Values(
        FileCase{"Version12",
                 [] {
                     return std::string(Replace(DefaultFile(), "<version>1.1</version>",
                                                "<version>1.2</version>"));
                 },
                 "verfileerr"},
        FileCase{"LanguageIdentifier",
                 [] { return std::string(Replace(DefaultFile(), ">NORVELCO<", ">NORVELT<")); },
                 "illfileerr"},
        FileCase{
            "WrongFiletype",
            [] { return std::string(Replace(DefaultFile(), ">configuration<", ">language<")); },
            "illfileerr"},
        FileCase{"UnknownDevice",
                 [] {
                     return std::string(Replace(DefaultFile(), "<device>20242</device>",
                                                "<device>20245</device>"));
                 },
                 "desfileerr"},
        FileCase{"MissingLastRegister",
                 [] {
                     return std::string(
                         Replace(DefaultFile(), "<parameter adrs=\"1241\">3</parameter>", ""));
                 },
                 "desfileerr"},
        FileCase{"HeaderOnly",
                 [] {
                     return std::string(
                         "<root><application>NORVELCO</application><filetype>configuration</"
                         "filetype><version>1.1</version>"
                         "<device>20242</device><devver>65536</devver></root>");
                 },
                 "desfileerr"},
        FileCase{"NoDevice",
                 [] { return std::string(Replace(DefaultFile(), "<device>20242</device>", "")); },
                 "illfileerr"},
        FileCase{"NoDevver",
                 [] { return std::string(Replace(DefaultFile(), "<devver>65536</devver>", "")); },
                 "illfileerr"},
        FileCase{"NoVersion",
                 [] { return std::string(Replace(DefaultFile(), "<version>1.1</version>", "")); },
                 "illfileerr"},
        FileCase{"NotXml", [] { return std::string("this is not xml"); }, "illfileerr"},
        FileCase{"Truncated", [] { return std::string(DefaultFile().substr(0, 200)); },
                 "illfileerr"},
        FileCase{"Binary", [] { return std::string(std::string("\0\xff\xfe<root>", 9)); },
                 "illfileerr"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConfigFile, Version10AndMissingFileAndDuplicates) {
    std::string v10 = Replace(DefaultFile(), "<version>1.1</version>", "<version>1.0</version>");
    EXPECT_NO_THROW(LoadConfiguration(dir.Write("v10.cfg", v10)));
    EXPECT_EQ(ErrorOf(dir.File("none.cfg")), g_resources.GetMessageText("illfileerr"));
    // The first element of an address wins; extra addresses are ignored.
    std::string dup =
        Replace(DefaultFile(), "<parameter adrs=\"1150\">0</parameter>",
                "<parameter adrs=\"1150\">2</parameter><parameter adrs=\"1150\">1</parameter>"
                "<parameter adrs=\"7\">9</parameter>");
    EXPECT_EQ(LoadConfiguration(dir.Write("dup.cfg", dup))->Find("rate").Value().Word(0), 2);
}

// Neither a folder nor elements nested far deeper than any file needs end the program.
TEST_F(ConfigFile, FolderAndDeepNestingEndInTheLoadersOwnAnswer) {
    EXPECT_EQ(ErrorOf(dir.Path().string()), g_resources.GetMessageText("illfileerr"));
    std::string nest, close;
    for (int i = 0; i < 200000; ++i) {
        nest += "<n>";
        close += "</n>";
    }
    const std::string deep = Replace(DefaultFile(), "<devver>65536</devver>",
                                     "<devver>" + nest + "65536" + close + "</devver>");
    EXPECT_NO_THROW(LoadConfiguration(dir.Write("deep.cfg", deep)));
}

// A save that fails half-way through writing (here: the disk takes no more than 512 bytes of a
// file) leaves the file it was replacing as it was, and no stray temporary file beside it.
TEST_F(ConfigFile, FailedSaveLeavesThePreviousFile) {
    auto model = CDevType().Create(0, 0, DEV_SETTINGS);
    SaveConfiguration(*model, dir.File("keep.cfg"));
    const std::string previous = Read(dir.File("keep.cfg"));
    model->Find("panid").SetText("1A2B");
    {
        struct rlimit saved {};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        struct rlimit small = saved;
        small.rlim_cur = 512;
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        const std::string error =
            testing_support::ErrorText([&] { SaveConfiguration(*model, dir.File("keep.cfg")); });
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        EXPECT_NE(error, "(no error)");
    }
    EXPECT_EQ(Read(dir.File("keep.cfg")), previous);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.File("")),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_THROW(SaveConfiguration(*model, dir.File("missing-folder/x.cfg")), CPrivateException);
    // Saving over a file replaces it whole.
    SaveConfiguration(*model, dir.File("keep.cfg"));
    EXPECT_EQ(LoadConfiguration(dir.File("keep.cfg"))->Find("panid").GetText(), "1A2B");
}
