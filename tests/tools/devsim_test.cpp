// The simulated device driven with request data units and frames, without a port.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "modbus/framing.h"
#include "model/dev_types.h"
#include "model/modbus_mapping.h"
#include "tools/devsim/device_sim.h"
#include "tools/devsim/frame_server.h"

using namespace devsim;
using Bytes = std::vector<uint8_t>;

namespace {

const Clock::time_point T0{};

Bytes ReadPdu(uint16_t address, uint16_t count, uint8_t unit = 1) {
    return {unit, 3, uint8_t(address >> 8), uint8_t(address), uint8_t(count >> 8), uint8_t(count)};
}

Bytes WritePdu(uint16_t address, const std::vector<uint16_t>& values, uint8_t unit = 1,
               uint8_t function = 16) {
    Bytes pdu = {unit,
                 function,
                 uint8_t(address >> 8),
                 uint8_t(address),
                 0,
                 uint8_t(values.size()),
                 uint8_t(2 * values.size())};
    for (uint16_t v : values) {
        pdu.push_back(uint8_t(v >> 8));
        pdu.push_back(uint8_t(v));
    }
    return pdu;
}

Bytes Exception(uint8_t function, uint8_t code) {
    return {1, uint8_t(function | 0x80), code};
}

int EntryOf(const char* model) {
    return CDevType::FindModel(model);
}

SimConfig ConfigFor(const char* model) {
    SimConfig c;
    c.entry = EntryOf(model);
    return c;
}

// The register words of a read reply; empty for anything else.
std::vector<uint16_t> Words(const std::optional<Bytes>& reply) {
    std::vector<uint16_t> words;
    if (!reply || reply->size() < 3 || (*reply)[1] != 3) return words;
    for (size_t i = 3; i + 1 < reply->size(); i += 2)
        words.push_back(uint16_t((*reply)[i] << 8 | (*reply)[i + 1]));
    return words;
}

std::vector<uint16_t> Read(CDeviceSim& sim, uint16_t address, uint16_t count,
                           Clock::time_point now = T0) {
    return Words(sim.Handle(ReadPdu(address, count), now));
}

}  // namespace

TEST(DeviceSimIdentification, EveryTypeReportsItsTypeCodeFirmwareAndModelText) {
    for (int entry = 0; entry < CDevType::EntryCount(); ++entry) {
        SCOPED_TRACE(CDevType::Entry(entry).modelCode);
        SimConfig config;
        config.entry = entry;
        config.firmware = {2, 7, 13};
        CDeviceSim sim(config, T0);
        EXPECT_EQ(Read(sim, 3000, 4),
                  (std::vector<uint16_t>{2, 7, 13, CDevType::Entry(entry).typeCode}));

        // The texts read back through the model's own codec, as the Configurator shows them.
        auto model = CDevType().Create(entry, 0, DEV_MONITOR);
        CParInterface& text = model->Find("model");
        auto words = Read(sim, text.Value().Address(), text.Value().Count());
        ASSERT_EQ(words.size(), text.Value().Count());
        std::copy(words.begin(), words.end(), text.Value().Words().begin());
        EXPECT_EQ(text.Value().GetString(0), CDevType::Entry(entry).modelCode);
    }
}

TEST(DeviceSimRegisterMap, EveryBlockTheConfiguratorReadsIsAnsweredWithTheDefaults) {
    for (int entry = 0; entry < CDevType::EntryCount(); ++entry) {
        SCOPED_TRACE(CDevType::Entry(entry).modelCode);
        SimConfig config;
        config.entry = entry;
        CDeviceSim sim(config, T0);
        auto settings = CDevType().Create(entry, 0, DEV_SETTINGS);
        CModbusMapping image;
        image.AddModel(*settings);
        ASSERT_FALSE(image.Blocks().empty());
        for (const CParValue& block : image.Blocks()) {
            SCOPED_TRACE(block.Address());
            const auto words = Read(sim, block.Address(), block.Count());
            EXPECT_EQ(words, std::vector<uint16_t>(block.Words().begin(), block.Words().end()));
        }
        // A monitor poll reads every monitor block without a refusal.
        auto monitor = CDevType().Create(entry, 0, DEV_MONITOR);
        CModbusMapping live;
        live.AddModel(*monitor);
        for (const CParValue& block : live.Blocks())
            EXPECT_EQ(Read(sim, block.Address(), block.Count()).size(), block.Count())
                << block.Address();
    }
}

TEST(DeviceSimRequests, WriteIsEchoedAndReadBack) {
    CDeviceSim sim(ConfigFor("RB16KT5_2"), T0);
    const Bytes write = WritePdu(1150, {2, 1, 1});
    EXPECT_EQ(sim.Handle(write, T0), Bytes(write.begin(), write.begin() + 6));
    EXPECT_EQ(Read(sim, 1150, 3), (std::vector<uint16_t>{2, 1, 1}));
    EXPECT_TRUE(sim.TakeChanged());
    EXPECT_FALSE(sim.TakeChanged());
}

TEST(DeviceSimFaults, StuckRegistersAcceptWritesButKeepTheirValue) {
    SimConfig config = ConfigFor("RB16KT5_2");
    config.stuck = {1151};
    CDeviceSim sim(config, T0);
    const Bytes write = WritePdu(1150, {2, 2, 1});
    EXPECT_EQ(sim.Handle(write, T0), Bytes(write.begin(), write.begin() + 6));
    EXPECT_EQ(Read(sim, 1150, 3), (std::vector<uint16_t>{2, 0, 1}));
}

TEST(DeviceSimRequests, RefusedRequestsAnswerTheirExceptionAndChangeNothing) {
    struct Case {
        const char* what;
        Bytes request;
        Bytes reply;
    };
    Bytes badByteCount = WritePdu(1150, {1, 1});
    badByteCount[6] = 3;
    Bytes shortRead = ReadPdu(1150, 1);
    shortRead.pop_back();
    const Case cases[] = {
        {"read outside the map", ReadPdu(2000, 1), Exception(3, 2)},
        {"read across a gap", ReadPdu(1211, 3), Exception(3, 2)},
        {"read past the last register", ReadPdu(65535, 2), Exception(3, 2)},
        {"read of none", ReadPdu(1150, 0), Exception(3, 3)},
        {"read of too many", ReadPdu(1150, 126), Exception(3, 3)},
        {"read request cut short", shortRead, Exception(3, 3)},
        {"write to identification", WritePdu(3003, {1}), Exception(16, 2)},
        {"write to a status register", WritePdu(1317, {1}), Exception(16, 2)},
        {"write partly outside the map", WritePdu(1152, {1, 0}), Exception(16, 2)},
        {"write out of range (parity 3)", WritePdu(1150, {1, 3}), Exception(16, 3)},
        {"write with a bad byte count", badByteCount, Exception(16, 3)},
        {"write of a channel the type lacks", WritePdu(1201, {44}), Exception(16, 3)},
        {"read coils", Bytes{1, 1, 0, 0, 0, 1}, Exception(1, 1)},
        {"write single register", Bytes{1, 6, 4, 0x7E, 0, 1}, Exception(6, 1)},
    };
    CDeviceSim sim(ConfigFor("RB16KT5_2"), T0);
    // Transmit power 4 belongs to another type only.
    Bytes mixed = WritePdu(1230, {4});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(sim.Handle(c.request, T0), c.reply);
    }
    EXPECT_EQ(sim.Handle(mixed, T0), Exception(16, 3));
    EXPECT_EQ(Read(sim, 1150, 3), (std::vector<uint16_t>{0, 0, 0}));
    EXPECT_EQ(Read(sim, 1230, 1), std::vector<uint16_t>{3});
    EXPECT_FALSE(sim.TakeChanged());
}

TEST(DeviceSimRequests, OtherUnitsAreIgnoredAndBroadcastWritesAppliedSilently) {
    SimConfig config = ConfigFor("RB16KT5_2");
    config.unit = 7;
    CDeviceSim sim(config, T0);
    EXPECT_FALSE(sim.Handle(ReadPdu(3003, 1, 1), T0));
    EXPECT_FALSE(sim.Handle(WritePdu(1150, {3}, 0), T0));
    EXPECT_EQ(sim.Register(1150), 3);
    EXPECT_EQ(Words(sim.Handle(ReadPdu(1150, 1, 7), T0)), std::vector<uint16_t>{3});
}

TEST(DeviceSimPassword, PackingMatchesThePasswordWindow) {
    EXPECT_EQ(PackPassword("abc"), (PasswordWords{0x6162, 0x6300, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(PackPassword(std::string(16, 'x')));
    EXPECT_FALSE(PackPassword(std::string(17, 'x')));
    EXPECT_FALSE(PackPassword(""));
}

TEST(DeviceSimPassword, LockedUntilTheRightPasswordThenRelocksWhenIdle) {
    for (uint8_t code : {EXC_PROTECTED, EXC_PROTECTED_ALT}) {
        SCOPED_TRACE(int(code));
        SimConfig config = ConfigFor("RB16KT5QA");
        config.password = PackPassword("secret");
        config.protectException = code;
        config.relockAfterSeconds = 30;
        CDeviceSim sim(config, T0);

        EXPECT_EQ(sim.Handle(ReadPdu(3003, 1), T0), Exception(3, code));
        EXPECT_EQ(sim.Handle(WritePdu(1150, {1}), T0), Exception(16, code));
        EXPECT_EQ(sim.Register(1150), 0);

        auto wrong = *PackPassword("Secret");
        EXPECT_EQ(sim.Handle(WritePdu(0, {wrong.begin(), wrong.end()}, 1, 68), T0),
                  Exception(68, code));
        EXPECT_TRUE(sim.Locked());

        auto right = *PackPassword("secret");
        const Bytes unlock = WritePdu(0, {right.begin(), right.end()}, 1, 68);
        EXPECT_EQ(sim.Handle(unlock, T0), Bytes(unlock.begin(), unlock.begin() + 6));
        EXPECT_EQ(Read(sim, 3003, 1, T0 + std::chrono::seconds(29)), std::vector<uint16_t>{18962});
        // Each request restarts the idle time; a longer silence locks again.
        EXPECT_EQ(Read(sim, 3003, 1, T0 + std::chrono::seconds(58)), std::vector<uint16_t>{18962});
        EXPECT_EQ(sim.Handle(ReadPdu(3003, 1), T0 + std::chrono::seconds(88)), Exception(3, code));
    }
}

TEST(DeviceSimPassword, MalformedPasswordRequestsAreRefused) {
    SimConfig config = ConfigFor("RB16KT5_2");
    config.password = PackPassword("pw");
    CDeviceSim sim(config, T0);
    auto right = *PackPassword("pw");
    EXPECT_EQ(sim.Handle(WritePdu(1, {right.begin(), right.end()}, 1, 68), T0), Exception(68, 2));
    EXPECT_EQ(sim.Handle(WritePdu(0, {right.begin(), right.begin() + 4}, 1, 68), T0),
              Exception(68, 3));
    EXPECT_TRUE(sim.Locked());
}

TEST(DeviceSimResetCommand, RestartClearsCountersAndFactoryResetRestoresSettings) {
    SimConfig config = ConfigFor("RB16KT5QB");
    config.password = PackPassword("pw");
    CDeviceSim sim(config, T0);
    auto pw = *PackPassword("pw");
    sim.Handle(WritePdu(0, {pw.begin(), pw.end()}, 1, 68), T0);

    const auto t = T0 + std::chrono::seconds(10);
    ASSERT_EQ(sim.Handle(WritePdu(1229, {1200, 1}), t)->size(), 6u);  // duty time, transmit power
    const auto counters = Read(sim, 1160, 3, t);
    EXPECT_GT(counters[0], 0);
    EXPECT_GT(counters[1], 0);

    EXPECT_EQ(sim.Handle(WritePdu(9000, {1234, 0}), t), Exception(16, 3));
    ASSERT_EQ(sim.Handle(WritePdu(9000, {RESET_RESTART, 0}), t)->size(), 6u);
    EXPECT_TRUE(sim.Locked()) << "a restarted device is protected again";
    sim.Handle(WritePdu(0, {pw.begin(), pw.end()}, 1, 68), t);
    EXPECT_EQ(Read(sim, 1160, 3, t), (std::vector<uint16_t>{0, 0, 0}));
    EXPECT_EQ(Read(sim, 9000, 2, t), (std::vector<uint16_t>{0, 0}));
    EXPECT_EQ(Read(sim, 1229, 2, t), (std::vector<uint16_t>{1200, 1}));

    ASSERT_EQ(sim.Handle(WritePdu(9000, {RESET_FACTORY, 0}), t)->size(), 6u);
    sim.Handle(WritePdu(0, {pw.begin(), pw.end()}, 1, 68), t);
    EXPECT_EQ(Read(sim, 1229, 2, t), (std::vector<uint16_t>{600, 3}));
}

TEST(DeviceSimOutputs, SwitchedOutputsReportTheirStateUntilRestart) {
    CDeviceSim sim(ConfigFor("RB16T5-PLX4M_2"), T0);
    ASSERT_EQ(sim.Handle(WritePdu(1003, {1}), T0)->size(), 6u);
    EXPECT_EQ(Read(sim, 1002, 2), (std::vector<uint16_t>{0, 1}));
    EXPECT_EQ(sim.Handle(WritePdu(1002, {2}), T0), Exception(16, 3));
    EXPECT_EQ(sim.Handle(WritePdu(1000, {1}), T0), Exception(16, 2)) << "inputs are read-only";
    sim.Handle(WritePdu(9000, {RESET_RESTART, 0}), T0);
    EXPECT_EQ(Read(sim, 1002, 2), (std::vector<uint16_t>{0, 0}));

    CDeviceSim analogue(ConfigFor("RB16T5-SQ7_2"), T0);
    EXPECT_EQ(analogue.Handle(WritePdu(1002, {1}), T0), Exception(16, 2))
        << "inversion flags are status";
}

TEST(DeviceSimLiveValues, ChangeEverySecondWithinTheirRanges) {
    CDeviceSim sim(ConfigFor("RB16KT5_2"), T0);
    std::set<int16_t> levels;
    uint16_t lastTx = 0;
    for (int s = 1; s <= 120; ++s) {
        const auto words = Read(sim, 1300, 18, T0 + std::chrono::seconds(s));
        ASSERT_EQ(words.size(), 18u);
        const int16_t rssi = int16_t(words[17]);
        EXPECT_GE(rssi, -90);
        EXPECT_LE(rssi, -60);
        levels.insert(rssi);
        EXPECT_LE(words[15], 2);  // activity LED: off, on, blinking
        EXPECT_LE(words[16], 2);
        const uint16_t tx = Read(sim, 1160, 1, T0 + std::chrono::seconds(s))[0];
        EXPECT_GT(tx, lastTx);
        lastTx = tx;
    }
    EXPECT_GT(levels.size(), 5u);
}

TEST(DeviceSimLiveValues, LinkStatusShowsTheSettingsTakenIntoUseAtRestart) {
    CDeviceSim sim(ConfigFor("RB16KT5QC"), T0);
    EXPECT_EQ(Read(sim, 1305, 1), std::vector<uint16_t>{2}) << "lowest channel of the type";
    sim.Handle(WritePdu(1200, {0x1234}), T0);
    sim.Handle(WritePdu(1201, {5}), T0);
    EXPECT_EQ(Read(sim, 1304, 2), (std::vector<uint16_t>{0, 2}));
    sim.Handle(WritePdu(9000, {RESET_RESTART, 0}), T0);
    EXPECT_EQ(Read(sim, 1304, 2), (std::vector<uint16_t>{0x1234, 5}));
}

// ---- the line: frames in, frames out ----

namespace {

Bytes Rtu(const Bytes& pdu) {
    return modbus::RtuFrame(pdu);
}

struct ServerFixture {
    explicit ServerFixture(Framing framing = Framing::Rtu, FaultConfig faults = {})
        : sim(ConfigFor("RB16KT5_2"), T0),
          server(sim, framing, faults, std::chrono::milliseconds(10)) {}
    std::vector<Frame> Send(const Bytes& bytes, Clock::time_point now = T0) {
        return server.Receive(bytes, now);
    }
    CDeviceSim sim;
    CFrameServer server;
};

}  // namespace

TEST(DeviceSimLine, RtuFramesArriveInPiecesAndBadChecksumsAreDropped) {
    ServerFixture f;
    const Bytes request = Rtu(WritePdu(1150, {1, 2, 1}));
    EXPECT_TRUE(f.Send(Bytes(request.begin(), request.begin() + 5)).empty());
    auto replies = f.Send(Bytes(request.begin() + 5, request.end()));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], Rtu(Bytes(request.begin(), request.begin() + 6)));

    Bytes corrupt = Rtu(ReadPdu(3003, 1));
    corrupt.back() ^= 1;
    EXPECT_TRUE(f.Send(corrupt).empty());
    // Two requests in one burst are both answered.
    Bytes two = Rtu(ReadPdu(3003, 1));
    const Bytes second = Rtu(ReadPdu(3000, 1));
    two.insert(two.end(), second.begin(), second.end());
    EXPECT_EQ(f.Send(two).size(), 2u);
}

TEST(DeviceSimLine, UnknownFunctionIsEndedBySilenceAndRefused) {
    ServerFixture f;
    EXPECT_TRUE(f.Send(Rtu(Bytes{1, 6, 4, 0x7E, 0, 1})).empty());
    EXPECT_TRUE(f.server.Idle(T0 + std::chrono::milliseconds(5)).empty());
    auto replies = f.server.Idle(T0 + std::chrono::milliseconds(10));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], Rtu(Exception(6, 1)));
    // A stale half frame does not swallow the next request.
    const Bytes request = Rtu(ReadPdu(3003, 1));
    f.Send(Bytes(request.begin(), request.begin() + 3), T0 + std::chrono::seconds(1));
    EXPECT_EQ(f.Send(request, T0 + std::chrono::seconds(2)).size(), 1u);
}

TEST(DeviceSimLine, AsciiFramesAreDecodedAndAnsweredInAscii) {
    ServerFixture f(Framing::Ascii);
    Bytes line = {'x', 'y'};  // noise before the start mark
    const Bytes request = modbus::AsciiFrame(ReadPdu(3003, 1));
    line.insert(line.end(), request.begin(), request.end());
    auto replies = f.Send(line);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(modbus::AsciiDecode(replies[0]), (Bytes{1, 3, 2, 0x4F, 0x12}));

    Bytes badLrc = request;
    badLrc[badLrc.size() - 3] = badLrc[badLrc.size() - 3] == '0' ? '1' : '0';
    EXPECT_TRUE(f.Send(badLrc).empty());
}

TEST(DeviceSimFaults, DropCorruptFixedExceptionAndSilence) {
    const Bytes read = Rtu(ReadPdu(1150, 1));
    const auto faults = [](auto set) {
        FaultConfig c;
        set(c);
        return c;
    };
    {
        ServerFixture f(Framing::Rtu, faults([](FaultConfig& c) { c.dropEvery = 2; }));
        EXPECT_EQ(f.Send(read).size(), 1u);
        EXPECT_EQ(f.Send(read).size(), 0u);
        EXPECT_EQ(f.Send(read).size(), 1u);
    }
    {
        ServerFixture f(Framing::Rtu, faults([](FaultConfig& c) { c.corruptEvery = 2; }));
        EXPECT_TRUE(modbus::RtuCrcOk(f.Send(read).at(0)));
        const Frame bad = f.Send(read).at(0);
        EXPECT_EQ(bad.size(), 7u);
        EXPECT_FALSE(modbus::RtuCrcOk(bad));
    }
    {
        ServerFixture f(Framing::Ascii, faults([](FaultConfig& c) { c.corruptEvery = 1; }));
        bool lrcOk = true;
        const auto replies = f.Send(modbus::AsciiFrame(ReadPdu(1150, 1)));
        EXPECT_FALSE(modbus::AsciiDecode(replies.at(0), &lrcOk));
        EXPECT_FALSE(lrcOk) << "well formed, wrong LRC";
    }
    {
        ServerFixture f(Framing::Rtu, faults([](FaultConfig& c) { c.exception = 4; }));
        EXPECT_EQ(f.Send(Rtu(WritePdu(1150, {2}))).at(0), Rtu(Exception(16, 4)));
        EXPECT_EQ(f.sim.Register(1150), 0) << "a refused request is not applied";
    }
    {
        ServerFixture f(Framing::Rtu, faults([](FaultConfig& c) { c.silent = true; }));
        EXPECT_TRUE(f.Send(read).empty());
    }
}
