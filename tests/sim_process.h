// The simulator program as a child process: started with options, its port read from its first
// line, stopped (and reaped) when the object goes.
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
#include <vector>

extern char** environ;

namespace testing_support {

class SimProcess {
public:
    // runtimeDir becomes the child's XDG_RUNTIME_DIR, so its port link stays out of the user's.
    SimProcess(const std::vector<std::string>& args, const std::string& runtimeDir) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::string_view(*e).rfind("XDG_RUNTIME_DIR=", 0) != 0) env.emplace_back(*e);
        env.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
        std::vector<std::string> argv = {ProgramPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        auto argp = Pointers(argv), envp = Pointers(env);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&m_pid, argp[0], &actions, nullptr, argp.data(), envp.data()) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        m_out = fds[0];
        const std::string line = ReadLine(5000);
        if (line.rfind("PORT ", 0) == 0) m_port = line.substr(5, line.size() - 6);
    }
    ~SimProcess() { Stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The pseudo-terminal path the device answers on; empty when it did not start.
    const std::string& Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }

    // Ends the child with SIGTERM and returns its exit status (-1 when it had to be killed).
    int Stop() {
        if (m_pid <= 0) return -1;
        kill(m_pid, SIGTERM);
        int status = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                status = -1;
                break;
            }
            usleep(5000);
        }
        m_pid = -1;
        if (m_out >= 0) close(m_out);
        m_out = -1;
        return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static std::string ProgramPath() {
        return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "norvelco-devsim").string();
    }

private:
    static std::vector<char*> Pointers(std::vector<std::string>& v) {
        std::vector<char*> p;
        for (auto& s : v) p.push_back(s.data());
        p.push_back(nullptr);
        return p;
    }

    std::string ReadLine(int timeoutMs) {
        std::string line;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_out >= 0 && (line.empty() || line.back() != '\n')) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{m_out, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char c;
            if (read(m_out, &c, 1) != 1) break;
            line += c;
        }
        return line;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_port;
};

}  // namespace testing_support
