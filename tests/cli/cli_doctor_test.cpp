// The doctor's findings on a fake machine: its ports, the user's groups, the processes that hold
// ports, the services that take adapters, and the virtual ports folder.
#include "tools/cli/cli_doctor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "fake_port_tree.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testing_support::KeyText;

namespace {

class CliDoctor : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::LoadEnglish();
        tree.Usb("ttyUSB0", {"1a86", "7523", "QinHeng", "USB Serial", ""},
                 "usb-1a86_USB_Serial-if00-port0");
        device = tree.dir.Write("dev/ttyUSB0", "");
        ::chmod(device.c_str(), 0660);
        tree.Virtual("live");
        tree.Virtual("stale");
        fs::remove(tree.dir.File("pts-stale"));
        Process(1, "systemd", "");
        Process(700, "ModemManager", device);
        in.roots = tree.roots;
        in.context.proc = tree.dir.File("proc");
        const gid_t own = ::getegid();
        in.context.groups = {"alice", {own}, {own, 20}};
        in.context.brltty = false;
        in.context.sandbox.clear();
    }
    void Process(int pid, const std::string& command, const std::string& open) {
        const std::string base = "proc/" + std::to_string(pid);
        fs::create_directories(tree.dir.File(base + "/fd"));
        tree.dir.Write(base + "/comm", command + "\n");
        if (!open.empty()) fs::create_symlink(open, tree.dir.File(base + "/fd/4"));
    }
    int Doctor(const std::string& port, std::string& out) {
        ComSettings s;
        s.COMPortName = port;
        s.Character = 1;
        std::ostringstream text;
        const int status = cli::RunDoctor(s, text, in);
        out = text.str();
        return status;
    }

    testing_support::FakePortTree tree;
    std::string device;
    cli::DoctorInputs in;
};

}  // namespace

TEST_F(CliDoctor, FindingsNameEachCauseWithItsAdvice) {
    std::string out;
    EXPECT_EQ(Doctor("", out), 1) << "no port chosen";
    const std::string byId = tree.roots.dev + "/serial/by-id/usb-1a86_USB_Serial-if00-port0";
    const std::string expected[] = {
        KeyText("doc.ports", {int32_t{2}}),  // the stale link is no port
        "  " + byId + "  USB Serial (ttyUSB0)  1a86:7523 QinHeng USB Serial",
        KeyText("doc.user", {"alice"}),
        KeyText("doc.relogin", {GroupName(20)}),
        KeyText("doc.holder", {byId, "ModemManager", "700"}),
        KeyText("doc.mm", {"700"}),
        KeyText("serio.modemmanager"),
        KeyText("doc.vfolder", {tree.roots.virtualPorts}),
        KeyText("doc.vlink", {"live", tree.dir.File("pts-live")}),
        KeyText("doc.vstale", {"stale", tree.dir.File("pts-stale")}),
        KeyText("doc.noport"),
    };
    size_t at = 0;
    for (const std::string& line : expected) {
        const size_t found = out.find(line, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << out;
        if (found != std::string::npos) at = found;
    }
    EXPECT_EQ(out.find(KeyText("doc.brltty")), std::string::npos);
}

TEST_F(CliDoctor, ExitsZeroOnlyWhenTheChosenPortOpens) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string pty = ::ptsname(master);
    std::string out;
    EXPECT_EQ(Doctor(pty, out), 0) << out;
    EXPECT_NE(out.find(KeyText("doc.openok", {pty})), std::string::npos) << out;
    ::close(master);

    const std::string gone = tree.dir.File("dev/ttyUSB9");
    EXPECT_EQ(Doctor(gone, out), 1);
    EXPECT_NE(out.find(KeyText("serio.gone", {gone})), std::string::npos) << out;
}
