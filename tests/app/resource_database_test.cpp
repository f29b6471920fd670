#include "app/resource_database.h"

#include <gtest/gtest.h>

#include "app/private_exception.h"
#include "test_support.h"

using testing_support::TempDir;

namespace {

const char* kHeader =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<root>\n"
    "<application>NORVELT</application><filetype>language</filetype><language>Test</language>\n";

std::string LanguageFile(const std::string& body) {
    return std::string(kHeader) + body + "</root>\n";
}

class ResourceDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override { db.Init(); }
    std::string Load(const std::string& content) {
        auto path = dir.Write("t.lng", content);
        db.LoadLanguage(path);
        return path;
    }
    TempDir dir;
    CResourceDatabase db;
};

}  // namespace

TEST_F(ResourceDatabaseTest, EmptyStoreGivesEmptyTexts) {
    EXPECT_EQ(db.GetMessageText("comerr"), "");
    EXPECT_EQ(db.GetGuiText(102, 0), "");
    EXPECT_EQ(db.GetListItemValue("m", "l", 0), -1);
    EXPECT_EQ(db.GetLanguageName(), "");
}

TEST_F(ResourceDatabaseTest, LooksUpEveryKindOfText) {
    Load(LanguageFile(R"(
<gui name="102"><text name="0">Caption</text><text name="1013">Model</text><text name="5"></text></gui>
<message><text name="comerr">Failed: %1</text></message>
<parameter name="M">
  <text name="lname">Long</text>
  <list name="simple"><text name="0">zero</text><text name="1">one</text><text name="2">two</text></list>
  <list name="items">
    <item name="0"><value>1</value><text>first</text></item>
    <item name="1"><value>5</value><text>fifth</text></item>
    <item name="2"><value>12abc</value><text>odd</text></item>
  </list>
</parameter>)"));
    EXPECT_EQ(db.GetLanguageName(), "Test");
    EXPECT_EQ(db.GetGuiText(102, 0), "Caption");
    EXPECT_EQ(db.GetGuiText(102, 1013), "Model");
    EXPECT_EQ(db.GetGuiText(102, 5), "");
    EXPECT_EQ(db.GetMessageText("comerr"), "Failed: %1");
    EXPECT_EQ(db.GetParameterText("M", "lname"), "Long");
    EXPECT_EQ(db.GetParameterText("Other", "lname"), "");
    // Simple form: the value is the position.
    EXPECT_EQ(db.GetListItemValue("M", "simple", 2), 2);
    EXPECT_EQ(db.GetListItemValue("M", "simple", 3), -1);
    EXPECT_EQ(db.GetListItemText("M", "simple", 2), "two");
    // Item form: values of their own.
    EXPECT_EQ(db.GetListItemValue("M", "items", 1), 5);
    EXPECT_EQ(db.GetListItemText("M", "items", 5), "fifth");
    EXPECT_EQ(db.GetListItemText("M", "items", 1), "first");
    EXPECT_EQ(db.GetListItemValue("M", "items", 2), 12);
    EXPECT_EQ(db.GetListItemValue("M", "items", 3), -1);
}

struct BadFileCase {
    const char* name;
    const char* content;  // nullptr: no file at all
    const char* expectedTail;
};

void PrintTo(const BadFileCase& c, std::ostream* os) {
    *os << c.name;
}

class LanguageFileErrors : public ::testing::TestWithParam<BadFileCase> {};

TEST_P(LanguageFileErrors, ReportFileNameAndCause) {
    TempDir dir;
    CResourceDatabase db;
    db.Init();
    std::string path = dir.File("x.lng");
    if (GetParam().content) dir.Write("x.lng", GetParam().content);
    try {
        db.LoadLanguage(path);
        FAIL() << "accepted";
    } catch (const CPrivateException& e) {
        std::string head = "Can't read resource file \"" + path + "\".\n";
        ASSERT_TRUE(e.Message().starts_with(head)) << e.Message();
        EXPECT_TRUE(e.Message().substr(head.size()).starts_with(GetParam().expectedTail))
            << e.Message();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LanguageFileErrors,
    ::testing::Values(BadFileCase{"missing", nullptr, "No such file or directory"},
                      BadFileCase{"broken",
                                  "<root><application>NORVELT</application>\n<oops></root>",
                                  "line: 2\nsrc text: <oops></root>\nreason: "},
                      BadFileCase{"empty", "", "line: 1\nsrc text: \nreason: "},
                      BadFileCase{"wrongApplication",
                                  "<root><application>NORVELCO</application><filetype>language</"
                                  "filetype><language>E</language></root>",
                                  "Illegal format"},
                      BadFileCase{"noLanguageName",
                                  "<root><application>NORVELT</application><filetype>language</"
                                  "filetype><language/></root>",
                                  "Illegal format"},
                      BadFileCase{"wrongFiletype",
                                  "<root><application>NORVELT</application><filetype>config</"
                                  "filetype><language>E</language></root>",
                                  "Illegal format"}),
    [](const auto& info) { return info.param.name; });

TEST(ResourceDatabase, RejectedHeaderStillReplacesDocument) {
    TempDir dir;
    CResourceDatabase db;
    db.Init();
    auto path = dir.Write("x.lng",
                          "<root><application>OTHER</application><message><text "
                          "name=\"k\">v</text></message></root>");
    EXPECT_THROW(db.LoadLanguage(path), CPrivateException);
    EXPECT_EQ(db.GetMessageText("k"), "v");
}

TEST(ResourceDatabase, BrokenFileKeepsPreviousDocument) {
    TempDir dir;
    CResourceDatabase db;
    db.Init();
    db.LoadLanguage(
        dir.Write("good.lng", LanguageFile("<message><text name=\"k\">v</text></message>")));
    EXPECT_THROW(db.LoadLanguage(dir.Write("bad.lng", "<root>")), CPrivateException);
    EXPECT_EQ(db.GetMessageText("k"), "v");
}

TEST(LanguageFiles, ListedByTheirOwnNamesLeavingOutWhatCannotBeRead) {
    testing_support::TempDir first, second;
    const auto lng = [](const std::string& name, const std::string& locale) {
        return "<?xml version=\"1.0\" encoding=\"utf-8\"?><root><application>NORVELT</application>"
               "<filetype>language</filetype><language>" +
               name + "</language>" + (locale.empty() ? "" : "<locale>" + locale + "</locale>") +
               "</root>";
    };
    first.Write("Zulu.lng", lng("isiZulu", ""));
    first.Write("Alpha.lng", lng("Alpha", "xx"));
    first.Write("Broken.lng", "<root><language>x</language>");
    first.Write("Config.lng",
                "<root><application>NORVELCO</application><filetype>language"
                "</filetype><language>Cfg</language></root>");
    first.Write("Alpha.txt", lng("Text", ""));
    second.Write("Alpha.lng", lng("Second alpha", ""));
    second.Write("Beta.lng", lng("Beta", "yy"));
    const std::vector<LanguageFileInfo> files =
        ListLanguageFiles({first.Path().string(), second.Path().string(), first.File("missing")});
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].file, "Alpha.lng");
    EXPECT_EQ(files[0].name, "Alpha") << "the earlier folder wins";
    EXPECT_EQ(files[0].locale, "xx");
    EXPECT_EQ(files[1].file, "Beta.lng");
    EXPECT_EQ(files[2].name, "isiZulu");
    EXPECT_EQ(files[2].locale, "");
}

TEST(ResourceDatabase, FolderAsLanguageFileIsAReadError) {
    TempDir dir;
    CResourceDatabase db;
    db.Init();
    const std::string folder = dir.Path().string();
    EXPECT_EQ(testing_support::ErrorText([&] { db.LoadLanguage(folder); }),
              "Can't read resource file \"" + folder + "\".\nIs a directory");
    // A bare name too long for the system is not found, and says so.
    EXPECT_THROW(db.LoadLanguage(std::string(300, 'x') + ".lng"), CPrivateException);
}

TEST(ResourceDatabase, DeeplyNestedLanguageFileLoads) {
    TempDir dir;
    CResourceDatabase db;
    db.Init();
    std::string nest, close;
    for (int i = 0; i < 200000; ++i) {
        nest += "<n>";
        close += "</n>";
    }
    db.LoadLanguage(dir.Write("deep.lng", LanguageFile("<message><text name=\"k\">" + nest + "v" +
                                                       close + "</text></message>")));
    EXPECT_EQ(db.GetMessageText("k"), "v");
}

// A file that lacks texts shows the English ones instead of bare keys, a whole list at a time,
// and counts what it lacks; a text both files lack stays empty.
TEST(ResourceDatabase, MissingTextsComeFromEnglish) {
    TempDir dir;
    CResourceDatabase english;
    english.Init();
    english.LoadLanguage("English.lng");
    EXPECT_EQ(english.MissingTexts(), 0);

    CResourceDatabase db;
    db.Init();
    db.LoadLanguage(dir.Write(
        "part.lng",
        LanguageFile(
            "<message><text name=\"tb0\">Lire</text></message>"
            "<parameter name=\"RB16KT5QA\"><list name=\"parity\"><text name=\"0\">Aucune</text>"
            "</list></parameter>")));
    EXPECT_EQ(db.GetLanguageName(), "Test");
    EXPECT_EQ(db.GetMessageText("tb0"), "Lire");
    EXPECT_EQ(db.GetMessageText("comerr"), english.GetMessageText("comerr"));
    EXPECT_FALSE(db.GetMessageText("cli.usage").empty());
    EXPECT_EQ(db.GetGuiText(102, 0), english.GetGuiText(102, 0));
    EXPECT_EQ(db.GetParameterText("RB16KT5QA", "rate"),
              english.GetParameterText("RB16KT5QA", "rate"));
    EXPECT_EQ(db.GetListItemText("RB16KT5QA", "parity", 0), "Aucune");
    EXPECT_EQ(db.GetListItemText("RB16KT5QA", "parity", 1), "") << "the list is the file's own";
    EXPECT_EQ(db.GetListItemValue("RB16KT5QA", "parity", 1), -1);
    EXPECT_EQ(db.GetListItemText("RB16KT5QA", "rate", 3),
              english.GetListItemText("RB16KT5QA", "rate", 3));
    EXPECT_EQ(db.GetMessageText("no.such.key"), "");
    EXPECT_GT(db.MissingTexts(), 100);
    // The header-only file lacks one text more than the file that has one.
    const int partial = db.MissingTexts();
    db.LoadLanguage(dir.Write("header.lng", LanguageFile("")));
    EXPECT_GT(db.MissingTexts(), partial);
}
