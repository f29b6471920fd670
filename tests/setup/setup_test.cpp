// The installer launcher run as a user runs it: from a folder, with a stand-in for the desktop's
// package installer first on PATH that writes down how it was called.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "child_process.h"
#include "test_support.h"

namespace {

using testing_support::ChildProcess;
using testing_support::TempDir;

// Records its words, the property, a variable of the caller, its folder, where its output goes
// and its ignored signals; with a "hold" file beside it, it then waits until "release" appears.
constexpr char kFakeInstaller[] = R"sh(#!/bin/sh
out=$(readlink /proc/$$/fd/1)
{
  for word; do echo "word=$word"; done
  echo "SETUPVAR1=${SETUPVAR1-unset}"
  echo "probe=${NORVELCO_PROBE-unset}"
  echo "folder=$(pwd)"
  echo "stdout=$out"
  grep '^SigIgn:' /proc/$$/status
} > record.tmp
mv record.tmp record
if [ -e hold ]; then
  while [ ! -e release ]; do sleep 0.02; done
  touch ended
fi
)sh";

bool WaitForFile(const std::filesystem::path& path) {
    for (int i = 0; i < 1000 && !std::filesystem::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return std::filesystem::exists(path);
}

class Setup : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(m_dir.Path() / "bin");
        m_dir.Write("norvelco.deb", "not a real package");
    }
    void InstallFakeInstaller() {
        const std::string fake = m_dir.Write("bin/xdg-open", kFakeInstaller);
        chmod(fake.c_str(), 0755);
    }
    // Runs Setup from the folder with only the folder's bin (and, for the fake's shell tools, the
    // system's) on PATH; its exit status, stdout and stderr.
    int Run(const std::vector<std::string>& args, const std::string& path) {
        const std::filesystem::path previous = std::filesystem::current_path();
        std::filesystem::current_path(m_dir.Path());
        ChildProcess setup(ChildProcess::Program("Setup"), args,
                           {"PATH=" + path, "NORVELCO_PROBE=passed", "SETUPVAR1=7"});
        std::filesystem::current_path(previous);
        const int status = setup.Finish(10000);
        m_out = setup.out + setup.err;
        return status;
    }
    std::string SystemPath() const { return m_dir.File("bin") + ":/usr/bin:/bin"; }

    TempDir m_dir;
    std::string m_out;
};

TEST_F(Setup, OpensThePackageInTheCurrentFolderWithThePropertyAndNothingElse) {
    InstallFakeInstaller();
    ASSERT_EQ(Run({"--quiet", "other.deb", "SETUPVAR1=1"}, SystemPath()), 0);
    EXPECT_EQ(m_out, "");
    ASSERT_TRUE(WaitForFile(m_dir.Path() / "record"));
    const std::string record = testing_support::ReadFile(m_dir.File("record"));
    const std::string expected = "word=norvelco.deb\nSETUPVAR1=0\nprobe=passed\nfolder=" +
                                 std::filesystem::canonical(m_dir.Path()).string() +
                                 "\nstdout=/dev/null\n";
    ASSERT_EQ(record.substr(0, expected.size()), expected);
    // The installer's own children must stay waitable: it must not inherit an ignored SIGCHLD.
    const unsigned long ignored = std::stoul(record.substr(record.find(':') + 1), nullptr, 16);
    EXPECT_EQ(ignored & (1ul << (SIGCHLD - 1)), 0u) << record;
}

TEST_F(Setup, ReturnsWhileTheInstallerIsStillOpen) {
    InstallFakeInstaller();
    m_dir.Write("hold", "");
    ASSERT_EQ(Run({}, SystemPath()), 0);
    ASSERT_TRUE(WaitForFile(m_dir.Path() / "record"));
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path() / "ended"));
    m_dir.Write("release", "");
    EXPECT_TRUE(WaitForFile(m_dir.Path() / "ended"));
}

TEST_F(Setup, ExitsQuietlyWithZeroWhenNoInstallerOrPackageExists) {
    std::filesystem::remove(m_dir.Path() / "norvelco.deb");
    for (const std::string& path : {m_dir.File("bin"), std::string()}) {
        EXPECT_EQ(Run({"x"}, path), 0) << "PATH=" << path;
        EXPECT_EQ(m_out, "");
    }
}

}  // namespace
