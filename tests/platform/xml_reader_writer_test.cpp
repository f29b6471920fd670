#include "platform/xml_reader_writer.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/private_exception.h"
#include "test_support.h"

using testing_support::TempDir;

TEST(XmlReaderWriter, CreateAddSaveLoadRoundTrip) {
    TempDir dir;
    CXmlReaderWriter doc;
    doc.Create("root");
    doc.AddElement("/root", "application", "NORVELCO");
    doc.AddElement("/root", "register", "258", "adrs", "1200");
    doc.Save(dir.File("a.xml"));

    CXmlReaderWriter back;
    back.Load(dir.File("a.xml"));
    EXPECT_EQ(back.GetText("/root/application"), "NORVELCO");
    EXPECT_EQ(back.GetText("/root/register[@adrs='1200']"), "258");
    EXPECT_THROW(back.GetText("/root/none"), CPrivateException);
    EXPECT_EQ(back.TryGetText("/root/none"), "");

    std::ifstream in(dir.File("a.xml"));
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "<?xml version=\"1.0\" encoding=\"utf-8\"?>");
    // Only the target remains: the temporary file was renamed over it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(XmlReaderWriter, ParseErrorNamesLineSourceAndReason) {
    TempDir dir;
    auto path = dir.Write("bad.xml", "<root>\n  <a>text</a>\n  <b>unclosed\n</root>\n");
    CXmlReaderWriter doc;
    doc.Create("keep");
    try {
        doc.Load(path);
        FAIL() << "no error";
    } catch (const CPrivateException& e) {
        EXPECT_TRUE(e.Message().starts_with("line: 4\nsrc text: </root>\nreason: ")) << e.Message();
    }
    EXPECT_FALSE(doc.IsEmpty());  // the held document is unchanged
}

TEST(XmlReaderWriter, MissingFileGivesSystemText) {
    CXmlReaderWriter doc;
    try {
        doc.Load("/nonexistent/file.xml");
        FAIL();
    } catch (const CPrivateException& e) {
        EXPECT_EQ(e.Message(), "No such file or directory");
    }
}

TEST(XmlReaderWriter, FailedSaveKeepsExistingFile) {
    TempDir dir;
    auto path = dir.Write("keep.xml", "<root>old</root>");
    std::filesystem::permissions(
        dir.Path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    CXmlReaderWriter doc;
    doc.Create("root");
    if (::geteuid() != 0) {  // root may write anywhere
        EXPECT_THROW(doc.Save(path), CPrivateException);
    }
    std::filesystem::permissions(dir.Path(), std::filesystem::perms::owner_all);
    CXmlReaderWriter back;
    back.Load(path);
    EXPECT_EQ(back.GetText("/root"), "old");
    // A folder that does not exist fails cleanly too.
    EXPECT_THROW(doc.Save(dir.File("missing/x.xml")), CPrivateException);
}
