#include "platform/xml_reader_writer.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

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

// Elements nested 200,000 deep: the text under them is read without one call per level.
TEST(XmlReaderWriter, DeeplyNestedTextIsRead) {
    TempDir dir;
    constexpr int kDepth = 200000;
    std::string xml = "<root><a>";
    for (int i = 0; i < kDepth; ++i) xml += "<b>";
    xml += "x";
    for (int i = 0; i < kDepth; ++i) xml += "</b>";
    xml += "y</a></root>";
    CXmlReaderWriter doc;
    doc.Load(dir.Write("deep.xml", xml));
    EXPECT_EQ(doc.GetText("/root/a"), "xy");
    std::string seen;
    doc.ForEachChild("/root", [&](const std::string&, const std::string&, const std::string& text) {
        seen += text;
    });
    EXPECT_EQ(seen, "xy");
}

// What is not a regular file is refused with the system's text before it is read.
TEST(XmlReaderWriter, FolderOrDeviceIsRefusedWithTheSystemText) {
    TempDir dir;
    CXmlReaderWriter doc;
    doc.Create("keep");
    EXPECT_EQ(testing_support::ErrorText([&] { doc.Load(dir.Path().string()); }), "Is a directory");
    EXPECT_EQ(testing_support::ErrorText([&] { doc.Load("/dev/zero"); }), "Invalid argument");
    EXPECT_FALSE(doc.IsEmpty());
}

namespace {

namespace fs = std::filesystem;

// Runs the case as an unprivileged user: in a child that drops to "nobody" when the tests run as
// root (root may write anywhere), in the test itself otherwise. The case's status, 0 for success.
int AsUnprivileged(const std::function<int()>& run) {
    if (::geteuid() != 0) return run();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
        ::_exit(run());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

int Saves(const std::string& path, const std::string& data) {
    try {
        SaveFileContents(path, data);
    } catch (const CPrivateException&) {
        return 1;
    }
    return 0;
}

int Refuses(const std::string& path) {
    try {
        CheckSaveTarget(path);
    } catch (const CPrivateException&) {
        return 0;
    }
    return 1;
}

std::string Read(const std::string& path) {
    return testing_support::ReadFile(path);
}

}  // namespace

TEST(XmlReaderWriter, FailedSaveKeepsExistingFile) {
    TempDir dir;
    fs::permissions(dir.Path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::create_directory(dir.File("locked"));
    const std::string path = dir.File("locked/keep.xml");
    std::ofstream(path) << "old";
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(dir.File("locked"), fs::perms::owner_read | fs::perms::owner_exec |
                                            fs::perms::others_read | fs::perms::others_exec);
    EXPECT_EQ(AsUnprivileged([&] { return Saves(path, "new"); }), 1);
    EXPECT_EQ(Read(path), "old");
    EXPECT_EQ(AsUnprivileged([&] { return Refuses(path); }), 0);
    fs::permissions(dir.File("locked"), fs::perms::owner_all);
    // A folder that does not exist fails cleanly too.
    CXmlReaderWriter doc;
    doc.Create("root");
    EXPECT_THROW(doc.Save(dir.File("missing/x.xml")), CPrivateException);
    EXPECT_THROW(CheckSaveTarget(dir.File("missing/x.xml")), CPrivateException);
}

// Saving replaces what the user's name names and keeps how the user had the file.
TEST(XmlReaderWriter, SaveKeepsLinksModeAndOwner) {
    TempDir dir;
    const std::string target = dir.Write("real.cfg", "old");
    fs::create_directory(dir.File("sub"));
    fs::create_symlink("../real.cfg", dir.File("sub/link.cfg"));
    SaveFileContents(dir.File("sub/link.cfg"), "via link");
    EXPECT_TRUE(fs::is_symlink(dir.File("sub/link.cfg")));
    EXPECT_EQ(Read(target), "via link");
    // A dangling link names the file to create.
    fs::create_symlink("new.cfg", dir.File("dangling.cfg"));
    SaveFileContents(dir.File("dangling.cfg"), "created");
    EXPECT_TRUE(fs::is_symlink(dir.File("dangling.cfg")));
    EXPECT_EQ(Read(dir.File("new.cfg")), "created");

    // The encryption key's file stays readable by its owner only.
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    SaveFileContents(target, "secret");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
        SaveFileContents(target, "owned");
        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
    // A new file follows the umask.
    const mode_t mask = ::umask(027);
    SaveFileContents(dir.File("fresh.cfg"), "x");
    ::umask(mask);
    EXPECT_EQ(fs::status(dir.File("fresh.cfg")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    // Only the targets remain: no temporary file is left behind.
    int files = 0;
    for (const auto& e : fs::directory_iterator(dir.Path()))
        files += fs::is_regular_file(e.symlink_status()) ? 1 : 0;
    EXPECT_EQ(files, 3) << "real.cfg, new.cfg and fresh.cfg";
}

TEST(XmlReaderWriter, SaveInPlaceWhereARenameWouldNotDo) {
    TempDir dir;
    // Hard links stay one file.
    const std::string first = dir.Write("a.cfg", "old");
    fs::create_hard_link(first, dir.File("b.cfg"));
    SaveFileContents(first, "shared");
    EXPECT_EQ(Read(dir.File("b.cfg")), "shared");
    EXPECT_EQ(fs::hard_link_count(first), 2u);
    // The longest names the system allows, new and existing, though the temporary name would not
    // fit; a longer name is refused before anything is written.
    for (size_t length : {249, 255}) {
        const std::string name = dir.File(std::string(length - 4, 'n') + ".cfg");
        SaveFileContents(name, "long");
        SaveFileContents(name, "longer");
        EXPECT_EQ(Read(name), "longer") << length;
        EXPECT_NO_THROW(CheckSaveTarget(name));
    }
    EXPECT_THROW(CheckSaveTarget(dir.File(std::string(256, 'n'))), CPrivateException);
    // A shorter text leaves nothing of the longer one behind.
    SaveFileContents(first, "s");
    EXPECT_EQ(Read(first), "s");

    // A writable file in a folder the user may not write to.
    fs::permissions(dir.Path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::create_directory(dir.File("locked"));
    const std::string path = dir.File("locked/site.cfg");
    std::ofstream(path) << "old";
    fs::permissions(path, fs::perms::all & ~fs::perms::owner_exec & ~fs::perms::group_exec &
                              ~fs::perms::others_exec);
    fs::permissions(dir.File("locked"), fs::perms::owner_read | fs::perms::owner_exec |
                                            fs::perms::others_read | fs::perms::others_exec);
    EXPECT_EQ(AsUnprivileged([&] { return Saves(path, "new"); }), 0);
    EXPECT_EQ(Read(path), "new");
    EXPECT_EQ(AsUnprivileged([&] { return Refuses(dir.File("locked/other.cfg")); }), 0)
        << "a new file there cannot be made";
    fs::permissions(dir.File("locked"), fs::perms::owner_all);
    // Neither a folder nor a device is ever replaced.
    EXPECT_THROW(SaveFileContents(dir.Path().string(), "x"), CPrivateException);
    EXPECT_THROW(CheckSaveTarget("/dev/null"), CPrivateException);
}
