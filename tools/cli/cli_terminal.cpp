#include "tools/cli/cli_terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace cli {
namespace {

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return;
    }
}

// Closes a descriptor when the scope ends.
class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

void CTtyTerminal::DrawProgress(const std::string& caption, double fraction) {
    if (!isatty(STDERR_FILENO)) return;
    constexpr int kWidth = 30;
    const double f = std::clamp(fraction, 0.0, 1.0);
    const int percent = static_cast<int>(f * 100.0);
    if (percent == m_lastPercent) return;
    m_lastPercent = percent;
    const int filled = static_cast<int>(f * kWidth);
    std::string line = "\r" + caption + " [" + std::string(static_cast<size_t>(filled), '#') +
                       std::string(static_cast<size_t>(kWidth - filled), '-') + "] ";
    char number[8];
    std::snprintf(number, sizeof number, "%3d%%", percent);
    WriteAll(STDERR_FILENO, line + number);
    m_drawn = true;
}

void CTtyTerminal::EndProgress() {
    if (m_drawn) WriteAll(STDERR_FILENO, "\n");
    m_drawn = false;
    m_lastPercent = -1;
}

std::optional<std::string> CTtyTerminal::ReadPassword(const std::string& prompt) {
    Fd tty(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (tty.Get() < 0) return {};
    termios saved{};
    if (tcgetattr(tty.Get(), &saved) != 0) return {};
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    if (tcsetattr(tty.Get(), TCSAFLUSH, &quiet) != 0) return {};
    WriteAll(tty.Get(), prompt);

    std::string line;
    bool complete = false;
    for (;;) {
        char c = 0;
        const ssize_t n = read(tty.Get(), &c, 1);
        // An interrupt (EINTR: the handler does not restart reads) or the end of input gives up.
        if (n <= 0) break;
        if (c == '\n' || c == '\r') {
            complete = true;
            break;
        }
        line += c;
    }
    tcsetattr(tty.Get(), TCSAFLUSH, &saved);
    if (!complete) {
        WriteAll(tty.Get(), "\n");
        return {};
    }
    return line;
}

}  // namespace cli
