#include "modbus/serial_io.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "app/private_exception.h"
#include "modbus/modbus_interface.h"
#include "modbus/port_diagnosis.h"

namespace {

using Clock = std::chrono::steady_clock;

struct RateEntry {
    int rate;
    speed_t code;
};

constexpr RateEntry kRates[] = {
    {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},   {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600}, {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

// By parity code: none, odd, even, mark, space.
constexpr tcflag_t kParityBits[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                    PARENB | CMSPAR};

constexpr tcflag_t kCharacterBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

// The milliseconds left until a deadline, rounded up so that a wait never ends early.
int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for an event on the descriptor; false at the deadline or on an error or hang-up.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, RemainingMs(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return false;
        return (p.revents & events) != 0;
    }
}

// Pseudo-terminal slaves cannot hold parity or character-size settings.
bool IsPseudoTerminal(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;
}

// The reason names the cause and what to do about it, not just the errno text.
[[noreturn]] void ThrowOpenError(const std::string& path, int error) {
    throw CPrivateException(CPrivateException::Key{"serio.openerr"},
                            {path, DiagnoseOpenFailure(path, error)});
}

[[noreturn]] void ThrowSettingError() {
    throw CPrivateException(CPrivateException::Key{"MSG_CANNOT_COM_SETTING"});
}

}  // namespace

bool MakeLineSettings(struct termios& tio, int rate, int dataBits, int parity, int stopBits) {
    const RateEntry* entry = nullptr;
    for (const auto& e : kRates)
        if (e.rate == rate) entry = &e;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    if (!entry || dataBits < 5 || dataBits > 8) return false;
    if (parity < PARITY_NONE || parity > PARITY_SPACE) return false;
    if (stopBits != STOPBITS_ONE && stopBits != STOPBITS_TWO) return false;

    cfmakeraw(&tio);
    tio.c_iflag &= ~(INPCK | IGNPAR | IXOFF | IXANY);  // no parity checking, no flow control
    tio.c_cflag &= ~(kCharacterBits | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | kSizes[dataBits - 5];
    tio.c_cflag |= kParityBits[parity];
    if (stopBits == STOPBITS_TWO) tio.c_cflag |= CSTOPB;
    // Reads are bounded by poll, so the driver returns whatever it holds at once.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, entry->code);
    cfsetospeed(&tio, entry->code);
    return true;
}

CSerialIO::~CSerialIO() {
    Close();
}

void CSerialIO::Open(const ComSettings& settings) {
    m_settings = settings;
    m_path = settings.COMPortName;
    Close();

    int fd = ::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) ThrowOpenError(m_path, errno);
    // TIOCEXCL keeps other users out (and fails on anything that is not a terminal); the
    // advisory lock also keeps out a second copy of the program running as root.
    if (::ioctl(fd, TIOCEXCL) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        ::close(fd);
        ThrowOpenError(m_path, error);
    }
    m_fd = fd;
    try {
        Configure(settings.BaudRate(), settings.DataBits(), settings.ParityCode(),
                  settings.StopBits());
    } catch (...) {
        Close();  // a port that cannot be set up is not left locked
        throw;
    }
    ::tcflush(m_fd, TCIOFLUSH);
}

void CSerialIO::Configure(int rate, int dataBits, int parity, int stopBits) {
    termios tio{};
    if (m_fd < 0 || ::tcgetattr(m_fd, &tio) != 0) ThrowSettingError();
    if (!MakeLineSettings(tio, rate, dataBits, parity, stopBits)) ThrowSettingError();
    if (::tcsetattr(m_fd, TCSANOW, &tio) != 0) {
        termios kept{};
        if (errno != EINVAL || !IsPseudoTerminal(m_fd) || ::tcgetattr(m_fd, &kept) != 0)
            ThrowSettingError();
        // The pty refuses a change it cannot hold: keep its character bits, apply the rest.
        tio.c_cflag = (tio.c_cflag & ~kCharacterBits) | (kept.c_cflag & kCharacterBits);
        if (::tcsetattr(m_fd, TCSANOW, &tio) != 0) ThrowSettingError();
    }

    // RS-485 mode raises RTS while sending; drivers without it (a pty among them) refuse it.
    serial_rs485 rs485{};
    if (::ioctl(m_fd, TIOCGRS485, &rs485) == 0) {
        bool wasEnabled = rs485.flags & SER_RS485_ENABLED;
        rs485.flags =
            (rs485.flags | SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND) & ~SER_RS485_RTS_AFTER_SEND;
        m_rtsToggle = ::ioctl(m_fd, TIOCSRS485, &rs485) == 0;
        m_rs485Switched = m_rs485Switched || (m_rtsToggle && !wasEnabled);
    } else {
        m_rtsToggle = false;
    }
    // DTR stays low, and so does RTS when nothing drives it; a pty has no lines to set.
    int lines = m_rtsToggle ? TIOCM_DTR : TIOCM_DTR | TIOCM_RTS;
    ::ioctl(m_fd, TIOCMBIC, &lines);
}

void CSerialIO::SetReadTimeout(uint32_t totalMs) {
    m_readTotalMs = totalMs;
}

void CSerialIO::SetReadTimeouts(uint32_t totalMs, uint32_t intervalMs) {
    m_readTotalMs = totalMs;
    m_readIntervalMs = intervalMs;
}

size_t CSerialIO::Read(uint8_t* buffer, size_t n) {
    if (m_fd < 0 || !buffer) return 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_readTotalMs);
    auto waitUntil = deadline;
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(m_fd, buffer + got, n - got);
        if (r > 0) {
            got += static_cast<size_t>(r);
            if (m_readIntervalMs > 0)
                waitUntil =
                    std::min(deadline, Clock::now() + std::chrono::milliseconds(m_readIntervalMs));
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        // With VMIN and VTIME 0 an idle line reads 0; a hang-up shows in poll. Any other
        // error ends the read with what arrived.
        if (r < 0 && errno != EAGAIN) break;
        if (!WaitFor(m_fd, POLLIN, waitUntil)) break;
    }
    return got;
}

size_t CSerialIO::Write(const uint8_t* buffer, size_t n) {
    if (m_fd < 0 || !buffer) return 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_writeTotalMs);
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::write(m_fd, buffer + done, n - done);
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        // EIO when the other side of a pty has gone: report the short count.
        if (r == 0 || errno != EAGAIN) break;
        if (!WaitFor(m_fd, POLLOUT, deadline)) break;
    }
    return done;
}

void CSerialIO::Close() {
    if (m_fd < 0) return;
    // The driver's RS-485 mode outlives the descriptor: leave it as it was found.
    serial_rs485 rs485{};
    if (m_rs485Switched && ::ioctl(m_fd, TIOCGRS485, &rs485) == 0) {
        rs485.flags &= ~SER_RS485_ENABLED;
        ::ioctl(m_fd, TIOCSRS485, &rs485);
    }
    // A pty's exclusive flag lives as long as its master, so clear it for the next open.
    ::ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);  // releases the advisory lock
    m_fd = -1;
    m_rtsToggle = false;
    m_rs485Switched = false;
}

// The master's constructors on the serial port live with the port, so that programs and tests
// that give the master another transport do not link the port layer.
CModbusInterface::CModbusInterface() : CModbusInterface(ComSettings::Loaded()) {}

CModbusInterface::CModbusInterface(const ComSettings& settings)
    : CModbusInterface(settings, std::make_unique<CSerialIO>()) {}
