#include "modbus/serial_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "app/private_exception.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The connect dialog's record: 38400 bit/s, 8 data bits, odd parity, one stop bit.
ComSettings PortSettings(const std::string& path) {
    ComSettings s;
    s.COMPortName = path;
    s.Baudrate = 5;
    s.Character = 1;
    s.Parity = PARITY_ODD;
    s.Stop = 0;
    return s;
}

std::string OpenErrorText(const ComSettings& settings) {
    CSerialIO port;
    try {
        port.Open(settings);
    } catch (const CPrivateException& e) {
        EXPECT_FALSE(port.IsOpen());
        port.Close();  // harmless after a failed open
        return e.Message();
    }
    ADD_FAILURE() << "Open succeeded on " << settings.COMPortName;
    return {};
}

// Runs the check in a child process as user "nobody"; only root can switch users.
template <typename Check>
bool AsNobody(Check check) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool UnprivilegedOpenSucceeds(const std::string& path) {
    return AsNobody([&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0; });
}

// A pseudo-terminal pair: the test plays the device on the master side.
class SerialPtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::LoadEnglish();
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(m_master, 0);
        ASSERT_EQ(grantpt(m_master), 0);
        ASSERT_EQ(unlockpt(m_master), 0);
        m_slavePath = ptsname(m_master);
    }
    void TearDown() override { CloseMaster(); }

    void CloseMaster() {
        if (m_master >= 0) ::close(m_master);
        m_master = -1;
    }
    void DeviceSends(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(::write(m_master, bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    std::vector<uint8_t> DeviceReceives(size_t n) {
        std::vector<uint8_t> got;
        auto deadline = Clock::now() + std::chrono::seconds(2);
        while (got.size() < n && Clock::now() < deadline) {
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            uint8_t buf[64];
            ssize_t r = ::read(m_master, buf, sizeof buf);
            if (r > 0) got.insert(got.end(), buf, buf + r);
        }
        return got;
    }

    int m_master = -1;
    std::string m_slavePath;
};

TEST_F(SerialPtyTest, OpenFailuresNameThePathAndTheReason) {
    testing_support::TempDir dir;
    const std::string absent = dir.File("ttyABSENT");
    const std::string plainFile = dir.Write("not-a-port", "x");
    struct Case {
        std::string path, reason;
    };
    const Case cases[] = {
        {absent, testing_support::KeyText("serio.gone", {absent})},
        {plainFile, testing_support::KeyText("serio.notserial", {plainFile})},
    };
    for (const Case& c : cases) {
        std::string text = OpenErrorText(PortSettings(c.path));
        EXPECT_NE(text.find("Cannot open the serial port " + c.path), std::string::npos) << text;
        EXPECT_NE(text.find(c.reason), std::string::npos) << text;
    }
}

TEST_F(SerialPtyTest, PermissionDeniedExplainsWhyAccessIsRefused) {
    ASSERT_EQ(::chmod(m_slavePath.c_str(), 0), 0);
    auto explains = [this] {
        return OpenErrorText(PortSettings(m_slavePath)).find("mode ---------") != std::string::npos;
    };
    EXPECT_TRUE(geteuid() == 0 ? AsNobody(explains) : explains());
}

TEST_F(SerialPtyTest, PortIsExclusiveUntilClosed) {
    CSerialIO first;
    first.Open(PortSettings(m_slavePath));
    ASSERT_TRUE(first.IsOpen());

    std::string text = OpenErrorText(PortSettings(m_slavePath));
    EXPECT_NE(text.find(m_slavePath), std::string::npos) << text;
    EXPECT_NE(text.find("in use by another program"), std::string::npos) << text;
    EXPECT_TRUE(first.IsOpen());
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chmod(m_slavePath.c_str(), 0666), 0);
        EXPECT_FALSE(UnprivilegedOpenSucceeds(m_slavePath));
    }

    first.Close();
    // A pty keeps its exclusive flag while the master lives: Close must clear it.
    if (root) {
        EXPECT_TRUE(UnprivilegedOpenSucceeds(m_slavePath));
    }
    CSerialIO second;
    EXPECT_NO_THROW(second.Open(PortSettings(m_slavePath)));
    EXPECT_TRUE(second.IsOpen());
}

TEST_F(SerialPtyTest, OpensWithConnectSettingsAndFallsBackToNoRtsControl) {
    CSerialIO port;
    port.Open(PortSettings(m_slavePath));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_FALSE(port.RtsToggling());  // a pty refuses RS-485 mode

    // Every line setting the devices use is accepted, even those a pty cannot hold.
    struct Case {
        int rate, dataBits, parity, stopBits;
    };
    const Case cases[] = {
        {38400, 8, PARITY_ODD, STOPBITS_ONE},  {9600, 7, PARITY_EVEN, STOPBITS_TWO},
        {1200, 7, PARITY_MARK, STOPBITS_ONE},  {19200, 8, PARITY_SPACE, STOPBITS_TWO},
        {38400, 8, PARITY_NONE, STOPBITS_ONE}, {38400, 7, PARITY_NONE, STOPBITS_ONE},
    };
    for (const Case& c : cases)
        EXPECT_NO_THROW(port.Configure(c.rate, c.dataBits, c.parity, c.stopBits)) << c.rate;
}

TEST_F(SerialPtyTest, RefusedLineSettingsThrowAndKeepThePortOpen) {
    CSerialIO port;
    port.Open(PortSettings(m_slavePath));
    try {
        port.Configure(12345, 8, PARITY_NONE, STOPBITS_ONE);
        FAIL() << "an unknown rate was accepted";
    } catch (const CPrivateException& e) {
        EXPECT_EQ(e.Message(), "Cannot apply the communication settings to the serial port.");
    }
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(SerialPtyTest, ReadOnIdleLineEndsAfterTotalTimeout) {
    CSerialIO port;
    port.Open(PortSettings(m_slavePath));
    port.SetReadTimeouts(30, 0);
    uint8_t buf[16];
    auto start = Clock::now();
    EXPECT_EQ(port.Read(buf, sizeof buf), 0u);
    long elapsed = MsSince(start);
    EXPECT_GE(elapsed, 30);
    EXPECT_LT(elapsed, 1000);
}

TEST_F(SerialPtyTest, ReadReturnsWhatArrivedWithinTheTimeout) {
    CSerialIO port;
    port.Open(PortSettings(m_slavePath));
    port.SetReadTimeouts(40, 0);
    DeviceSends({0x01, 0x03, 0x02});
    uint8_t buf[16] = {};
    EXPECT_EQ(port.Read(buf, sizeof buf), 3u);
    EXPECT_EQ(buf[2], 0x02);
}

TEST_F(SerialPtyTest, ReadCollectsLateBytesAndReturnsOnceComplete) {
    CSerialIO port;
    port.Open(PortSettings(m_slavePath));
    port.SetReadTimeout(3000);
    DeviceSends({0x11, 0x22});
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        DeviceSends({0x33, 0x44});
    });
    uint8_t buf[4] = {};
    auto start = Clock::now();
    size_t n = port.Read(buf, sizeof buf);
    long elapsed = MsSince(start);
    late.join();
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(buf[3], 0x44);
    EXPECT_LT(elapsed, 2000);  // complete: no wait for the total time-out
}

TEST_F(SerialPtyTest, IntervalTimeoutEndsReadAfterAGap) {
    CSerialIO port;
    port.Open(PortSettings(m_slavePath));
    port.SetReadTimeouts(3000, 20);
    DeviceSends({0x01, 0x02, 0x03});
    uint8_t buf[16];
    auto start = Clock::now();
    EXPECT_EQ(port.Read(buf, sizeof buf), 3u);
    EXPECT_LT(MsSince(start), 1000);
}

TEST_F(SerialPtyTest, BytesPassUnchangedBothWays) {
    // Control characters a cooked terminal would act on: ^C, CR, LF, XON, XOFF, DEL.
    const std::vector<uint8_t> bytes = {0x03, 0x0d, 0x0a, 0x11, 0x13, 0x7f, 0xff, 0x00};
    CSerialIO port;
    port.Open(PortSettings(m_slavePath));
    port.SetReadTimeouts(200, 0);

    EXPECT_EQ(port.Write(bytes.data(), bytes.size()), bytes.size());
    EXPECT_EQ(DeviceReceives(bytes.size()), bytes);

    DeviceSends(bytes);
    std::vector<uint8_t> got(bytes.size() + 4);
    got.resize(port.Read(got.data(), got.size()));
    EXPECT_EQ(got, bytes);
}

TEST_F(SerialPtyTest, GoneDeviceGivesShortCountsAtOnce) {
    CSerialIO port;
    port.Open(PortSettings(m_slavePath));
    port.SetReadTimeouts(3000, 0);
    CloseMaster();
    const uint8_t out[] = {1, 2, 3};
    uint8_t in[8];
    auto start = Clock::now();
    EXPECT_EQ(port.Write(out, sizeof out), 0u);  // EIO, and no SIGPIPE
    EXPECT_EQ(port.Read(in, sizeof in), 0u);
    EXPECT_LT(MsSince(start), 1000);
}

TEST(SerialIO, ClosedPortReadsAndWritesNothing) {
    CSerialIO port;
    uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(port.Read(buf, sizeof buf), 0u);
    EXPECT_EQ(port.Write(buf, sizeof buf), 0u);
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}

TEST(MakeLineSettings, TermiosBitsForEachSetting) {
    struct Case {
        int rate, dataBits, parity, stopBits;
        bool ok;
        speed_t speed;
        tcflag_t size, parityBits;
        bool twoStops;
    };
    const Case cases[] = {
        {38400, 8, PARITY_ODD, STOPBITS_ONE, true, B38400, CS8, PARENB | PARODD, false},
        {9600, 7, PARITY_EVEN, STOPBITS_TWO, true, B9600, CS7, PARENB, true},
        {1200, 8, PARITY_MARK, STOPBITS_ONE, true, B1200, CS8, PARENB | CMSPAR | PARODD, false},
        {19200, 8, PARITY_SPACE, STOPBITS_ONE, true, B19200, CS8, PARENB | CMSPAR, false},
        {2400, 8, PARITY_NONE, STOPBITS_ONE, true, B2400, CS8, 0, false},
        {12345, 8, PARITY_NONE, STOPBITS_ONE, false, 0, 0, 0, false},
        {9600, 9, PARITY_NONE, STOPBITS_ONE, false, 0, 0, 0, false},
        {9600, 8, 5, STOPBITS_ONE, false, 0, 0, 0, false},
        {9600, 8, PARITY_NONE, 1, false, 0, 0, 0, false},  // one and a half stop bits
    };
    for (const Case& c : cases) {
        // Start from a cooked, flow-controlled line so that every bit has to be set or cleared.
        termios tio{};
        tio.c_iflag = ICRNL | IXON | IXOFF | INPCK | ISTRIP;
        tio.c_oflag = OPOST | ONLCR;
        tio.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
        tio.c_cflag = CRTSCTS | CS5 | PARENB | PARODD | CMSPAR | CSTOPB;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 5;
        const bool ok = MakeLineSettings(tio, c.rate, c.dataBits, c.parity, c.stopBits);
        EXPECT_EQ(ok, c.ok) << c.rate << " " << c.dataBits << " " << c.parity;
        if (!ok) continue;
        SCOPED_TRACE(c.rate);
        EXPECT_EQ(cfgetispeed(&tio), c.speed);
        EXPECT_EQ(cfgetospeed(&tio), c.speed);
        EXPECT_EQ(tio.c_cflag & CSIZE, c.size);
        EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), c.parityBits);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStops);
        EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
        EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | IXOFF | INPCK | ISTRIP), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(tio.c_cc[VMIN], 0);
        EXPECT_EQ(tio.c_cc[VTIME], 0);
    }
}

}  // namespace
