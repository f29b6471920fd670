// The norvelco-cli program end to end against the norvelco-devsim program on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/private_exception.h"
#include "model/dev_types.h"
#include "session/config_file.h"
#include "test_support.h"

extern char** environ;

using testing_support::TempDir;
using Clock = std::chrono::steady_clock;

namespace {

std::string Program(const char* name) {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / name).string();
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Text(const char* key, std::initializer_list<platform::FormatArg> args = {}) {
    return CPrivateException(CPrivateException::Key{key}, args).Message();
}

// A child process in its own session (no controlling terminal: a password prompt cannot block),
// with its stdout and stderr on pipes.
class Child {
public:
    Child(const std::string& program, const std::vector<std::string>& args, const TempDir& dir) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string_view v(*e);
            if (v.rfind("XDG_RUNTIME_DIR=", 0) != 0 && v.rfind("NORVELCO_SETTINGS=", 0) != 0)
                env.emplace_back(v);
        }
        env.push_back("XDG_RUNTIME_DIR=" + dir.Path().string());
        env.push_back("NORVELCO_SETTINGS=" + dir.File("settings.ini"));
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), args.begin(), args.end());
        auto pointers = [](std::vector<std::string>& v) {
            std::vector<char*> p;
            for (auto& s : v) p.push_back(s.data());
            p.push_back(nullptr);
            return p;
        };
        auto argp = pointers(argv), envp = pointers(env);

        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
        if (posix_spawn(&m_pid, argp[0], &actions, &attr, argp.data(), envp.data()) != 0)
            m_pid = -1;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~Child() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) close(m_out);
        if (m_err >= 0) close(m_err);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return m_pid; }

    // One line of stdout, read byte by byte so that nothing after it is taken.
    std::string ReadLine(int timeoutMs) {
        std::string line;
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (line.empty() || line.back() != '\n') {
            pollfd p{m_out, POLLIN, 0};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
            char c;
            if (read(m_out, &c, 1) != 1) break;
            line += c;
        }
        return line;
    }

    // Collects both streams until the program ends; the exit status, or -1 on a time-out or a
    // death by signal.
    int Finish(int timeoutMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int open = 2;
        while (open > 0 && Clock::now() < end) {
            pollfd p[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
            if (poll(p, 2, 50) <= 0) continue;
            for (int k = 0; k < 2; ++k) {
                if (!(p[k].revents & (POLLIN | POLLHUP))) continue;
                char buffer[4096];
                const ssize_t n = read(p[k].fd, buffer, sizeof buffer);
                if (n > 0) {
                    (k == 0 ? out : err).append(buffer, static_cast<size_t>(n));
                } else {
                    p[k].fd == m_out ? (close(m_out), m_out = -1) : (close(m_err), m_err = -1);
                    --open;
                }
            }
        }
        if (open > 0) return -1;  // the destructor kills it
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string out;
    std::string err;

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
};

// The simulator program, stopped when the object goes.
class Simulator {
public:
    Simulator(const std::vector<std::string>& args, const TempDir& dir)
        : m_child(Program("norvelco-devsim"), args, dir) {
        const std::string line = m_child.ReadLine(5000);
        if (line.rfind("PORT ", 0) == 0) m_port = line.substr(5, line.size() - 6);
    }
    const std::string& Port() const { return m_port; }

private:
    Child m_child;
    std::string m_port;
};

struct CliResult {
    int status;
    std::string out;
    std::string err;
};

class CliProgram : public ::testing::Test {
protected:
    void SetUp() override { testing_support::LoadEnglish(); }

    CliResult Cli(const std::string& port, std::vector<std::string> args) {
        args.insert(args.begin(), {"--port", port});
        Child child(Program("norvelco-cli"), args, dir);
        const int status = child.Finish(20000);
        return {status, child.out, child.err};
    }

    TempDir dir;
};

std::vector<uint16_t> WordsOf(const std::string& path) {
    std::vector<uint16_t> words;
    auto model = LoadConfiguration(path);
    for (int i = 0; i < model->Count(); ++i)
        for (uint16_t w : model->At(i).Value().Words()) words.push_back(w);
    return words;
}

}  // namespace

TEST_F(CliProgram, EveryTypeTakesBackWhatWasSetInItsFile) {
    for (int entry = 0; entry < CDevType::EntryCount(); ++entry) {
        const std::string model = CDevType::Entry(entry).modelCode;
        SCOPED_TRACE(model);
        Simulator sim({"--type", model}, dir);
        ASSERT_FALSE(sim.Port().empty());
        const std::string first = dir.File(model + "-1.cfg"), second = dir.File(model + "-2.cfg");

        CliResult r = Cli(sim.Port(), {"upload", "-o", first});
        ASSERT_EQ(r.status, 0) << r.err;
        r = Cli(sim.Port(), {"set", first, "panid=1A2B", "netname=Site-7"});
        ASSERT_EQ(r.status, 0) << r.err;
        r = Cli(sim.Port(), {"download", "-i", first});
        ASSERT_EQ(r.status, 0) << r.err;
        r = Cli(sim.Port(), {"upload", "-o", second});
        ASSERT_EQ(r.status, 0) << r.err;

        EXPECT_EQ(WordsOf(second), WordsOf(first));
        auto back = LoadConfiguration(second);
        EXPECT_EQ(back->Find("panid").GetText(), "1A2B");
        EXPECT_EQ(back->Find("netname").GetText(), "Site-7");
    }
}

TEST_F(CliProgram, IdentifyAndMonitorReportTheDevice) {
    Simulator sim({"--type", "RB16T5-SQ7_2", "--firmware", "2.3.4"}, dir);
    CliResult r = Cli(sim.Port(), {"identify", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const QJsonObject id = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object();
    EXPECT_EQ(id["typeCode"].toInt(), 20243);
    EXPECT_EQ(id["version"].toString(), "2.3");
    EXPECT_EQ(id["firmware"].toString(), "2.3.4");
    EXPECT_EQ(id["modelCode"].toString(), "RB16T5-SQ7_2");
    EXPECT_EQ(id["modelName"].toString().toStdString(),
              CDevType().LongName(CDevType::FindModel("RB16T5-SQ7_2")));

    r = Cli(sim.Port(), {"monitor", "--count", "2", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    int polls = 0;
    while (std::getline(lines, line)) {
        const QJsonObject poll = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        EXPECT_EQ(poll["typeCode"].toInt(), 20243) << line;
        EXPECT_FALSE(poll["parameters"].toArray().isEmpty());
        ++polls;
    }
    EXPECT_EQ(polls, 2);

    // The simulator's link in the virtual ports folder is listed like any port.
    r = Cli(sim.Port(), {"ports", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const QJsonArray ports = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).array();
    bool listed = false;
    for (const auto& port : ports)
        listed = listed || port.toObject()["path"].toString().contains("/norvelco/ports/devsim-");
    EXPECT_TRUE(listed) << r.out;
}

TEST_F(CliProgram, DownloadToAnotherTypeWritesNothing) {
    const std::string dump = dir.File("device.txt");
    Simulator sim({"--type", "RB16KT5_2", "--dump", dump}, dir);
    const std::string file = dir.File("qa.cfg");
    ASSERT_EQ(Cli(sim.Port(), {"new", "RB16KT5QA", "-o", file}).status, 0);
    // A value the device does not hold, so that any write would show in its image.
    ASSERT_EQ(Cli(sim.Port(), {"set", file, "panid=1A2B"}).status, 0);
    const std::string before = Read(dump);
    ASSERT_FALSE(before.empty());

    const CliResult r = Cli(sim.Port(), {"download", "-i", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(Text("diffdev")), std::string::npos) << r.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Read(dump), before);
}

TEST_F(CliProgram, ProtectedDeviceNeedsTheRightPassword) {
    Simulator sim({"--type", "RB16KT5_2", "--password", "s3cret"}, dir);
    CliResult r = Cli(sim.Port(), {"--password", "wrong", "identify"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(Text("autherr")), std::string::npos) << r.err;

    // No terminal to ask on and no --password: the user could not answer.
    r = Cli(sim.Port(), {"identify"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(Text("stopcom")), std::string::npos) << r.err;

    r = Cli(sim.Port(), {"--password", "s3cret", "identify"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("RB16KT5_2"), std::string::npos) << r.out;
}

TEST_F(CliProgram, InterruptedUploadKeepsTheOldFile) {
    // At 1200 bit/s the biggest model takes a few seconds to read.
    Simulator sim({"--type", "RB16T5-SQ7_2", "--pace", "1200"}, dir);
    const std::string file = dir.Write("kept.cfg", "old contents");
    Child cli(Program("norvelco-cli"),
              {"--port", sim.Port(), "--baud", "1200", "upload", "-o", file}, dir);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const auto signalled = Clock::now();
    kill(cli.Pid(), SIGINT);
    const int status = cli.Finish(10000);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1) << "ended by the signal instead of stopping";
    // Only the block in progress is finished: well before the whole model would have been read.
    EXPECT_LT(Clock::now() - signalled, std::chrono::milliseconds(1500));
    EXPECT_NE(cli.err.find(Text("cli.cancelled")), std::string::npos) << cli.err;
    EXPECT_EQ(Read(file), "old contents");
    for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
        EXPECT_EQ(e.path().string().find("kept.cfg."), std::string::npos) << e.path();
}
