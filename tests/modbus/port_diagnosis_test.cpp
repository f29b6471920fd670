#include "modbus/port_diagnosis.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>

#include "app/private_exception.h"
#include "modbus/serial_io.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testing_support::KeyText;

namespace {

constexpr uid_t kNobody = 65534;

// A /proc with the processes that hold files open.
class FakeProc {
public:
    explicit FakeProc(testing_support::TempDir& dir) : m_dir(dir) {
        fs::create_directories(dir.File("proc"));
    }
    void Process(int pid, const std::string& command, const std::string& openFile) {
        const std::string base = "proc/" + std::to_string(pid);
        fs::create_directories(m_dir.File(base + "/fd"));
        m_dir.Write(base + "/comm", command + "\n");
        fs::create_symlink("/dev/null", m_dir.File(base + "/fd/0"));
        if (!openFile.empty()) fs::create_symlink(openFile, m_dir.File(base + "/fd/5"));
    }
    std::string Root() const { return m_dir.File("proc"); }

private:
    testing_support::TempDir& m_dir;
};

// Drops to user "nobody" with no supplementary groups; only root can.
void BecomeNobody() {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) _exit(3);
    ::prctl(PR_SET_DUMPABLE, 1);  // keeps /proc/PID/fd readable by the same user
}

// The message of opening the port in a child process, as nobody when the tests run as root.
std::string OpenMessageInChild(const std::string& path) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return "pipe failed";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        if (::geteuid() == 0) BecomeNobody();
        std::string message = "(opened)";
        try {
            ComSettings s;
            s.COMPortName = path;
            CSerialIO port;
            port.Open(s);
        } catch (const CPrivateException& e) {
            message = e.Message();
        }
        (void)!::write(pipeFds[1], message.data(), message.size());
        _exit(0);
    }
    ::close(pipeFds[1]);
    std::string message;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        message.append(buffer, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    ::waitpid(pid, nullptr, 0);
    return message;
}

class PortDiagnosisTest : public ::testing::Test {
protected:
    void SetUp() override { testing_support::LoadEnglish(); }

    // A port file of this user's group with the mode, and a context whose groups are given.
    std::string Port(mode_t mode) {
        const std::string path = dir.Write("ttyUSB0", "");
        ::chmod(path.c_str(), mode);
        return path;
    }
    DiagnosisContext Context(std::vector<gid_t> session, std::vector<gid_t> database) {
        DiagnosisContext c;
        c.proc = proc.Root();
        c.groups = {"alice", std::move(session), std::move(database)};
        return c;
    }

    testing_support::TempDir dir;
    FakeProc proc{dir};
};

// A pty pair whose slave side the test hands out.
struct Pty {
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
            slave = ::ptsname(master);
    }
    ~Pty() {
        if (master >= 0) ::close(master);
    }
    int master = -1;
    std::string slave;
};

}  // namespace

TEST_F(PortDiagnosisTest, PermissionCasesNameTheGroupAndTheRemedy) {
    const gid_t own = ::getegid();
    const std::string group = GroupName(own);
    const std::string port = Port(0660);
    EXPECT_EQ(DiagnoseOpenFailure(port, EACCES, Context({}, {})),
              KeyText("serio.group", {port, group, "alice"}));
    EXPECT_EQ(DiagnoseOpenFailure(port, EACCES, Context({}, {own})),
              KeyText("serio.relogin", {port, group}))
        << "in the group database but not in this session";
    const std::string mode =
        KeyText("serio.mode", {port, UserName(::getuid()), group, "rw-rw----", "alice"});
    EXPECT_EQ(DiagnoseOpenFailure(port, EPERM, Context({own}, {own})), mode)
        << "in the group, yet refused";
    ::chmod(port.c_str(), 0600);
    EXPECT_NE(DiagnoseOpenFailure(port, EACCES, Context({}, {})).find("rw-------"),
              std::string::npos)
        << "a group without access: joining it would not help";
}

TEST_F(PortDiagnosisTest, BusyPortNamesTheProcessHoldingIt) {
    const std::string port = Port(0660);
    fs::create_symlink(port, dir.File("by-id-link"));
    proc.Process(1, "systemd", "");
    proc.Process(812, "minicom", port);
    struct Case {
        int error;
        std::string path;
    };
    for (const Case& c : {Case{EBUSY, port}, Case{EWOULDBLOCK, dir.File("by-id-link")}})
        EXPECT_EQ(DiagnoseOpenFailure(c.path, c.error, Context({}, {})),
                  KeyText("serio.heldby", {c.path, "minicom", "812"}));

    // The services that take new adapters get their remedy added.
    for (const char* service : {"ModemManager", "brltty"}) {
        testing_support::TempDir other;
        FakeProc holders(other);
        holders.Process(300, service, port);
        DiagnosisContext c = Context({}, {});
        c.proc = holders.Root();
        const std::string text = DiagnoseOpenFailure(port, EBUSY, c);
        EXPECT_EQ(text.find(KeyText("serio.heldby", {port, service, "300"})), 0u) << text;
        const char* remedy =
            std::string(service) == "brltty" ? "serio.brltty" : "serio.modemmanager";
        EXPECT_NE(text.find(KeyText(remedy)), std::string::npos) << text;
    }
}

TEST_F(PortDiagnosisTest, BusyWithoutAVisibleHolderSaysBusy) {
    const std::string port = Port(0660);
    proc.Process(55, "bash", dir.File("something-else"));
    EXPECT_EQ(DiagnoseOpenFailure(port, EBUSY, Context({}, {})), KeyText("serio.busy"));
}

TEST_F(PortDiagnosisTest, GoneNotSerialSandboxAndOtherErrors) {
    const std::string gone = dir.File("ttyUSB7");
    DiagnosisContext c = Context({}, {});
    EXPECT_EQ(DiagnoseOpenFailure(gone, ENOENT, c), KeyText("serio.gone", {gone}));
    EXPECT_EQ(DiagnoseOpenFailure(gone, ENXIO, c), KeyText("serio.gone", {gone}));
    EXPECT_EQ(DiagnoseOpenFailure(gone, ENOTTY, c), KeyText("serio.notserial", {gone}));
    EXPECT_EQ(DiagnoseOpenFailure(gone, EIO, c), CMessageFormatter(EIO).Text());
    c.brltty = true;
    EXPECT_EQ(DiagnoseOpenFailure(gone, ENOENT, c),
              KeyText("serio.gone", {gone}) + "\n" + KeyText("serio.brltty"))
        << "brltty takes USB adapters the moment they are plugged in";
    c.sandbox = "Flatpak";
    for (int error : {ENOENT, EACCES})
        EXPECT_EQ(DiagnoseOpenFailure(gone, error, c), KeyText("serio.sandbox", {gone, "Flatpak"}));
}

TEST(PortDiagnosis, ModeText) {
    EXPECT_EQ(ModeText(020660), "rw-rw----");
    EXPECT_EQ(ModeText(0755), "rwxr-xr-x");
    EXPECT_EQ(ModeText(0), "---------");
}

// A real pty given to a group the user is not in: the message names the group and the command.
TEST_F(PortDiagnosisTest, PtyOfAnotherGroupGivesTheGroupDiagnosis) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a pty to another group and drop to nobody";
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    const group* dialout = ::getgrnam("dialout");
    const gid_t gid = dialout ? dialout->gr_gid : 20;
    ASSERT_EQ(::chown(pty.slave.c_str(), 0, gid), 0);
    ASSERT_EQ(::chmod(pty.slave.c_str(), 0660), 0);
    ::chmod(dir.Path().c_str(), 0755);  // nobody may reach the link, not the pty
    fs::create_symlink(pty.slave, dir.File("link"));
    const std::string message = OpenMessageInChild(dir.File("link"));
    EXPECT_EQ(message,
              KeyText("serio.openerr",
                      {dir.File("link"), KeyText("serio.group", {dir.File("link"), GroupName(gid),
                                                                 UserName(kNobody)})}));
}

// A real pty held with TIOCEXCL by another process: the message names that process.
TEST_F(PortDiagnosisTest, PtyHeldExclusivelyByAnotherProcessNamesIt) {
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    ASSERT_EQ(::chmod(pty.slave.c_str(), 0666), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        if (::geteuid() == 0) BecomeNobody();
        ::prctl(PR_SET_NAME, "porthog");
        const int fd = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
        const char ok = fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0 ? 'y' : 'n';
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    const std::string message = OpenMessageInChild(pty.slave);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(message, KeyText("serio.openerr",
                               {pty.slave, KeyText("serio.heldby", {pty.slave, "porthog",
                                                                    std::to_string(holder)})}));
}
