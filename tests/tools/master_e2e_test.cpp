// The real master on a real pseudo-terminal against the simulator program, in RTU and ASCII.
#include <gtest/gtest.h>

#include "app/private_exception.h"
#include "modbus/modbus_interface.h"
#include "model/dev_types.h"
#include "session/device_session.h"
#include "sim_process.h"
#include "test_support.h"

using testing_support::SimProcess;

namespace {

// The connect dialog's line: 38400 bit/s, 8 data bits, odd parity, one stop bit.
ComSettings LineTo(const std::string& port, int mode) {
    ComSettings s;
    s.Mode = mode;
    s.COMPortName = port;
    s.Baudrate = 5;
    s.Character = 1;
    s.Parity = PARITY_ODD;
    s.Stop = 0;
    s.Address = 1;
    return s;
}

struct FramingCase {
    const char* framing;
    int mode;
};

class MasterOnPty : public ::testing::TestWithParam<FramingCase> {
protected:
    void SetUp() override { testing_support::LoadEnglish(); }
    testing_support::TempDir dir;
};

}  // namespace

TEST_P(MasterOnPty, ReadsAndWritesTheSimulator) {
    SimProcess sim(
        {"--type", "RB16T5-SQ7_2", "--firmware", "3.1.4", "--framing", GetParam().framing},
        dir.File(""));
    ASSERT_FALSE(sim.Port().empty());
    CModbusInterface master(LineTo(sim.Port(), GetParam().mode));

    master.Open();
    uint16_t id[4] = {};
    EXPECT_TRUE(master.ReadHoldingRegisters(3000, 4, id));
    EXPECT_EQ(std::vector<uint16_t>(id, id + 4), (std::vector<uint16_t>{3, 1, 4, 20243}));
    master.Close();

    TransferProgress progress;
    auto model = ReadFromDevice(master, progress);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->Version(), MakeVersion(3, 1));
    model->Find("zinp").SetText("5.5");
    model->OnChanged(model->IndexOf("zinp"));
    model->Find("netname").SetText("Pump house 2");
    EXPECT_TRUE(WriteToDevice(master, *model, progress));

    auto back = ReadFromDevice(master, progress);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->Find("zinp").GetText(), "5.500");
    EXPECT_EQ(back->Find("netname").GetText(), "Pump house 2");
    EXPECT_EQ(sim.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Framings, MasterOnPty,
                         ::testing::Values(FramingCase{"rtu", 0}, FramingCase{"ascii", 4}),
                         [](const auto& info) { return std::string(info.param.framing); });

TEST(MasterOnPtyFaults, DroppedAndCorruptedRepliesAreRetried) {
    testing_support::LoadEnglish();
    testing_support::TempDir dir;
    SimProcess sim({"--drop-every", "3", "--corrupt-every", "4"},
                   dir.File(""));  // never three in a row
    ASSERT_FALSE(sim.Port().empty());
    CModbusInterface master(LineTo(sim.Port(), 0));
    TransferProgress progress;
    auto model = ReadFromDevice(master, progress);  // every block survives within three attempts
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->TypeCode(), 20242);
}
