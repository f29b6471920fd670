// Our RTU framing against someone else's: a libmodbus server on a pseudo-terminal pair.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <modbus.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "app/private_exception.h"
#include "modbus/modbus_interface.h"
#include "test_support.h"

namespace {

// A pseudo-terminal: its master descriptor and the path of its slave side.
struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        slave = ptsname(master);
        termios tio{};
        tcgetattr(master, &tio);
        cfmakeraw(&tio);
        tcsetattr(master, TCSANOW, &tio);
    }
    ~Pty() {
        if (master >= 0) close(master);
    }
};

// Two pseudo-terminals joined back to back: what one side's slave writes, the other's reads.
class NullModemCable {
public:
    NullModemCable() {
        if (pipe2(m_stop, O_CLOEXEC) != 0) return;
        m_thread = std::thread([this] { Relay(); });
    }
    ~NullModemCable() {
        if (write(m_stop[1], "x", 1) < 0) {
        }
        if (m_thread.joinable()) m_thread.join();
        close(m_stop[0]);
        close(m_stop[1]);
    }
    Pty a, b;

private:
    void Relay() {
        for (;;) {
            pollfd fds[3] = {{a.master, POLLIN, 0}, {b.master, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
            if (poll(fds, 3, 1000) < 0) return;
            if (fds[2].revents) return;
            Copy(fds[0], a.master, b.master);
            Copy(fds[1], b.master, a.master);
        }
    }
    static void Copy(const pollfd& from, int in, int out) {
        if (!(from.revents & POLLIN)) return;
        uint8_t buf[512];
        ssize_t n = read(in, buf, sizeof buf);
        if (n > 0 && write(out, buf, static_cast<size_t>(n)) < 0) {
        }
    }
    int m_stop[2] = {-1, -1};
    std::thread m_thread;
};

class LibmodbusRtu : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::LoadEnglish();
        m_map = modbus_mapping_new(0, 0, 1000, 0);
        m_ctx = modbus_new_rtu(m_cable.b.slave.c_str(), 38400, 'N', 8, 1);
        ASSERT_NE(m_ctx, nullptr);
        modbus_set_slave(m_ctx, 1);
        ASSERT_EQ(modbus_connect(m_ctx), 0) << modbus_strerror(errno);
        m_server = std::thread([this] { Serve(); });
    }
    void TearDown() override {
        m_stopping = true;
        // A last request wakes the server so that it sees the flag.
        if (m_server.joinable()) {
            ComSettings s = Line();
            s.Mode = 0;
            try {
                CModbusInterface wake(s);
                wake.Open();
                uint16_t w;
                wake.ReadHoldingRegisters(0, 1, std::span<uint16_t>(&w, 1));
            } catch (...) {
            }
            m_server.join();
        }
        modbus_close(m_ctx);
        modbus_free(m_ctx);
        modbus_mapping_free(m_map);
    }
    ComSettings Line() const {
        ComSettings s;
        s.COMPortName = m_cable.a.slave;
        s.Baudrate = 5;
        s.Character = 1;
        s.Parity = PARITY_NONE;
        s.Address = 1;
        return s;
    }
    void Serve() {
        uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!m_stopping) {
            int n = modbus_receive(m_ctx, query);
            if (n > 0)
                modbus_reply(m_ctx, query, n, m_map);
            else if (n < 0 && errno != ETIMEDOUT && errno != EMBBADCRC)
                break;
        }
    }

    NullModemCable m_cable;
    modbus_mapping_t* m_map = nullptr;
    modbus_t* m_ctx = nullptr;
    std::thread m_server;
    std::atomic<bool> m_stopping{false};
};

}  // namespace

TEST_F(LibmodbusRtu, ReadsAndWritesHoldingRegisters) {
    for (int i = 0; i < 20; ++i) m_map->tab_registers[200 + i] = static_cast<uint16_t>(0x1000 + i);
    CModbusInterface master(Line());
    master.Open();

    std::vector<uint16_t> words(20);
    EXPECT_TRUE(master.ReadHoldingRegisters(200, 20, words));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(words[static_cast<size_t>(i)], 0x1000 + i);

    const std::vector<uint16_t> values = {0xABCD, 0x0001, 0xFFFF, 0x8000};
    EXPECT_TRUE(master.WriteMultipleRegisters(100, 4, values));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(m_map->tab_registers[100 + i], values[static_cast<size_t>(i)]);

    // libmodbus refuses registers outside its map with exception 2, which we retry and report.
    try {
        master.ReadHoldingRegisters(990, 20, words);
        FAIL() << "no error";
    } catch (const CPrivateException& e) {
        const std::string exception2 =
            CPrivateException(CPrivateException::Key{"mbio.exception"}, {int32_t{2}}).Message();
        EXPECT_NE(e.Message().find(exception2), std::string::npos) << e.Message();
    }
    master.Close();
}
