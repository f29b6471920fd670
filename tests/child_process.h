// A program of the build run as a child process in its own session (no controlling terminal, so a
// password prompt cannot block), with stdin from /dev/null and stdout and stderr on pipes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace testing_support {

class ChildProcess {
public:
    using Clock = std::chrono::steady_clock;

    // env holds "NAME=value" entries that replace the test's own values of those names.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {}) {
        std::vector<std::string> environment;
        for (char** e = environ; *e; ++e) {
            const std::string_view v(*e);
            bool replaced = false;
            for (const std::string& o : env)
                replaced |= v.rfind(o.substr(0, o.find('=') + 1), 0) == 0;
            if (!replaced) environment.emplace_back(v);
        }
        environment.insert(environment.end(), env.begin(), env.end());
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), args.begin(), args.end());
        auto argp = Pointers(argv), envp = Pointers(environment);

        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        if (pipe2(err, O_CLOEXEC) != 0) {
            close(out[0]);
            close(out[1]);
            return;
        }
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
    ~ChildProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        CloseFd(m_out);
        CloseFd(m_err);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // A program beside the test program.
    static std::string Program(const char* name) {
        return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / name).string();
    }

    pid_t Pid() const { return m_pid; }

    // One line of stdout, read byte by byte so that nothing after it is taken.
    std::string ReadLine(int timeoutMs) {
        std::string line;
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_out >= 0 && (line.empty() || line.back() != '\n')) {
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

    // Collects both streams into out and err until the program ends; its exit status, or -1 on
    // a time-out (the destructor then kills it) or a death by signal.
    int Finish(int timeoutMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while ((m_out >= 0 || m_err >= 0) && Clock::now() < end) {
            pollfd p[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
            if (poll(p, 2, 50) <= 0) continue;
            Drain(p[0], m_out, out);
            Drain(p[1], m_err, err);
        }
        if (m_out >= 0 || m_err >= 0) return -1;
        return Reap();
    }

    // Sends the signal and waits for the exit status (-1 when it had to be killed).
    int Stop(int signal = SIGTERM, int timeoutMs = 5000) {
        if (m_pid <= 0) return -1;
        kill(m_pid, signal);
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (Clock::now() > end) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, nullptr, 0);
                m_pid = -1;
                return -1;
            }
            usleep(5000);
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string out;
    std::string err;

private:
    static std::vector<char*> Pointers(std::vector<std::string>& v) {
        std::vector<char*> p;
        for (auto& s : v) p.push_back(s.data());
        p.push_back(nullptr);
        return p;
    }
    static void CloseFd(int& fd) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    static void Drain(const pollfd& p, int& fd, std::string& into) {
        if (fd < 0 || !(p.revents & (POLLIN | POLLHUP))) return;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            into.append(buffer, static_cast<size_t>(n));
        else
            CloseFd(fd);
    }
    int Reap() {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
};

}  // namespace testing_support
