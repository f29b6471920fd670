// Identification, whole-model transfers, the monitor poll and the connection step, against the
// simulated device through the real master.
#include "session/device_session.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/private_exception.h"
#include "model/dev_types.h"
#include "model/modbus_mapping.h"
#include "sim_line.h"
#include "test_support.h"

using testing_support::SimMaster;

namespace {

devsim::SimConfig Config(const char* model) {
    devsim::SimConfig c;
    c.entry = CDevType::FindModel(model);
    c.firmware = {2, 5, 1};
    return c;
}

class RecordingProgress : public TransferProgress {
public:
    void SetProgress(double f) override {
        values.push_back(f);
        if (cancelAfter && values.size() >= cancelAfter) cancelled = true;
    }
    bool Cancelled() const override { return cancelled; }
    std::vector<double> values;
    size_t cancelAfter = 0;
    bool cancelled = false;
};

using testing_support::ErrorText;

class DeviceSession : public ::testing::Test {
protected:
    void SetUp() override { testing_support::LoadEnglish(); }
};

}  // namespace

TEST_F(DeviceSession, UploadReadsEveryModelBlockByBlock) {
    for (int entry = 0; entry < CDevType::EntryCount(); ++entry) {
        const char* code = CDevType::Entry(entry).modelCode;
        SCOPED_TRACE(code);
        devsim::CDeviceSim sim(Config(code));
        SimMaster m(sim);
        RecordingProgress progress;
        auto model = ReadFromDevice(m.master(), progress);
        ASSERT_NE(model, nullptr);
        EXPECT_EQ(model->TypeCode(), CDevType::Entry(entry).typeCode);
        EXPECT_EQ(model->Version(), MakeVersion(2, 5));
        for (int i = 0; i < model->Count(); ++i) {
            const CParValue& v = model->At(i).Value();
            for (size_t k = 0; k < v.Count(); ++k)
                EXPECT_EQ(v.Word(k), sim.Register(static_cast<uint16_t>(v.Address() + k)))
                    << model->At(i).Key();
        }
        // Two identification reads, then one per block, with progress after each block and at the
        // end.
        CModbusMapping image;
        image.AddModel(*model);
        const auto reads = m.line().Requests(3);
        ASSERT_EQ(reads.size(), 2 + image.Blocks().size());
        EXPECT_EQ(reads[0], (std::pair<int, int>{3003, 1}));
        EXPECT_EQ(reads[1], (std::pair<int, int>{3000, 2}));
        const double n = static_cast<double>(image.Blocks().size());
        std::vector<double> expected;
        for (size_t i = 0; i < image.Blocks().size(); ++i) expected.push_back(i / n);
        expected.push_back(1.0);
        EXPECT_EQ(progress.values, expected);
        EXPECT_FALSE(m.line().isOpen) << "the master is closed again";
    }
}

TEST_F(DeviceSession, DownloadWritesEveryBlockAndTheDeviceHoldsTheModel) {
    devsim::CDeviceSim sim(Config("RB16KT5QB"));
    SimMaster m(sim);
    auto model = CDevType().Create(CDevType::FindModel("RB16KT5QB"), 0, DEV_SETTINGS);
    model->Find("panid").SetText("1A2B");
    model->Find("netname").SetText("Site-7");
    model->Find("dutytm").SetText("120");
    RecordingProgress progress;
    EXPECT_TRUE(WriteToDevice(m.master(), *model, progress));
    EXPECT_EQ(sim.Register(1200), 0x1A2B);
    EXPECT_EQ(sim.Register(1229), 120);
    EXPECT_EQ(m.line().Requests(16).size(), 4u);  // the four blocks of this model
    EXPECT_EQ(progress.values.back(), 1.0);
}

TEST_F(DeviceSession, UnknownAndDifferentDevicesAreRefused) {
    devsim::CDeviceSim sim(Config("RB16KT5_2"));
    ASSERT_TRUE(sim.SetRegister(3003, 12));
    SimMaster m(sim);
    RecordingProgress progress;
    std::string unknown = ErrorText([&] { ReadFromDevice(m.master(), progress); });
    EXPECT_EQ(unknown,
              CPrivateException(CPrivateException::Key{"unknowndev"}, {int32_t{12}}).Message());
    EXPECT_NE(unknown.find("12"), std::string::npos);

    devsim::CDeviceSim other(Config("RB16KT5_2"));
    SimMaster m2(other);
    auto model = CDevType().Create(CDevType::FindModel("RB16KT5QA"), 0, DEV_SETTINGS);
    EXPECT_EQ(ErrorText([&] { WriteToDevice(m2.master(), *model, progress); }),
              g_resources.GetMessageText("diffdev"));
    EXPECT_TRUE(m2.line().Requests(16).empty()) << "nothing is written to another device";
}

TEST_F(DeviceSession, CancelStopsAfterTheCurrentBlock) {
    devsim::CDeviceSim sim(Config("RB16T5-SQ7_2"));
    SimMaster m(sim);
    RecordingProgress progress;
    progress.cancelAfter = 2;
    EXPECT_EQ(ReadFromDevice(m.master(), progress), nullptr);
    EXPECT_EQ(m.line().Requests(3).size(), 2u + 2u);
    EXPECT_FALSE(m.line().isOpen);

    SimMaster w(sim);
    RecordingProgress writing;
    writing.cancelAfter = 1;
    auto model = CDevType().Create(CDevType::FindModel("RB16T5-SQ7_2"), 0, DEV_SETTINGS);
    EXPECT_FALSE(WriteToDevice(w.master(), *model, writing));
    EXPECT_EQ(w.line().Requests(16).size(), 1u);
}

// A download that stopped part-way knows how far it got; one refused before its start wrote
// nothing.
TEST_F(DeviceSession, DownloadCountsTheBlocksItWrote) {
    const char* code = "RB16KT5QB";
    devsim::CDeviceSim sim(Config(code));
    auto model = CDevType().Create(CDevType::FindModel(code), 0, DEV_SETTINGS);
    {
        SimMaster m(sim);
        m.line().answerWrites = 1;  // the device stops answering after the first block
        RecordingProgress failing;
        EXPECT_NE(ErrorText([&] { WriteToDevice(m.master(), *model, failing); }), "(no error)");
        EXPECT_EQ(failing.BlocksWritten(), 1u);
        EXPECT_EQ(failing.BlockCount(), 4u);
        EXPECT_TRUE(failing.PartlyWritten());
        EXPECT_EQ(MixtureWarning(failing), testing_support::KeyText("mixwarn", {1, 4}));
    }
    {
        SimMaster m(sim);
        RecordingProgress cancelled;
        cancelled.cancelAfter = 2;
        EXPECT_FALSE(WriteToDevice(m.master(), *model, cancelled));
        EXPECT_EQ(cancelled.BlocksWritten(), 2u);
        EXPECT_TRUE(cancelled.PartlyWritten());
    }
    {
        SimMaster m(sim);
        RecordingProgress whole;
        EXPECT_TRUE(WriteToDevice(m.master(), *model, whole));
        EXPECT_FALSE(whole.PartlyWritten());
        EXPECT_EQ(whole.BlocksWritten(), 4u);
    }
    {
        SimMaster m(sim);
        model->Find("rate").Value().SetWord(0, 99);
        RecordingProgress refused;
        const std::string error = ErrorText([&] { WriteToDevice(m.master(), *model, refused); });
        EXPECT_NE(error.find(model->Find("rate").GetLabel()), std::string::npos) << error;
        EXPECT_EQ(m.line().RequestCount(), 0u) << "refused before the port is even opened";
        EXPECT_FALSE(refused.PartlyWritten());
    }
}

TEST_F(DeviceSession, MonitorPollTakesTheVersionWordsForTheIdentificationBlock) {
    devsim::CDeviceSim sim(Config("RB16T5-PLX4M_2"));
    SimMaster m(sim);
    auto model = PollMonitor(m.master());
    ASSERT_NE(model, nullptr);
    EXPECT_NE(dynamic_cast<CDevMT5PLX4M*>(model.get()), nullptr);
    EXPECT_EQ(model->Find("firmver").GetText(), "2.5.1");
    const auto reads = m.line().Requests(3);
    EXPECT_EQ(reads[1], (std::pair<int, int>{3000, 3}));
    EXPECT_EQ(std::count(reads.begin(), reads.end(), std::pair<int, int>{3000, 3}), 1);

    std::atomic<bool> closing{true};
    EXPECT_EQ(ErrorText([&] { PollMonitor(m.master(), &closing); }), "");
}

namespace {

// The user of the connection step, scripted.
class ScriptedUi : public ConnectionUi {
public:
    bool ChoosePort(ComSettings& s) override {
        ++portQuestions;
        s.COMPortName = "/dev/simulated";
        return choosePort;
    }
    bool AskPassword(CModbusInterface& master) override {
        ++passwordQuestions;
        passwordResult = SendPassword(master, password);
        return passwordResult.empty();
    }
    void ShowError(const std::string& text) override { errors.push_back(text); }

    bool choosePort = true;
    std::string password;
    std::string passwordResult;
    int portQuestions = 0, passwordQuestions = 0;
    std::vector<std::string> errors;
};

}  // namespace

TEST_F(DeviceSession, ConnectionStepProbesAndUnlocks) {
    devsim::CDeviceSim sim(Config("RB16KT5_2"));
    {
        SimMaster m(sim);
        ScriptedUi ui;
        ui.choosePort = false;
        EXPECT_FALSE(ConnectDevice(m.master(), ui, ComSettings{}, false));
        EXPECT_TRUE(m.line().RequestCount() == 0) << "a cancelled port choice sends nothing";
    }
    {
        SimMaster m(sim);
        ScriptedUi ui;
        EXPECT_TRUE(ConnectDevice(m.master(), ui, ComSettings{}, false));
        EXPECT_EQ(m.line().Requests(3), (std::vector<std::pair<int, int>>{{3003, 1}}));
        EXPECT_EQ(m.master().Settings().COMPortName, "/dev/simulated");
        EXPECT_EQ(ui.passwordQuestions, 0);
    }
    auto config = Config("RB16KT5_2");
    config.password = devsim::PackPassword("s3cret");
    devsim::CDeviceSim locked(config);
    for (const char* password : {"wrong", "s3cret"}) {
        SimMaster m(locked);
        ScriptedUi ui;
        ui.password = password;
        const bool right = std::string(password) == "s3cret";
        EXPECT_EQ(ConnectDevice(m.master(), ui, ComSettings{}, false), right);
        EXPECT_EQ(ui.passwordQuestions, 1);
        EXPECT_EQ(ui.passwordResult, right ? "" : "autherr");
        EXPECT_EQ(m.line().Requests(3).size(), 1u) << "one probe, no retry of a protected answer";
        EXPECT_EQ(m.line().Requests(68), (std::vector<std::pair<int, int>>{{0, 8}}));
        EXPECT_TRUE(ui.errors.empty());
    }
    {
        SimMaster m(sim);
        m.line().silent = true;
        ScriptedUi ui;
        EXPECT_FALSE(ConnectDevice(m.master(), ui, ComSettings{}, false));
        ASSERT_EQ(ui.errors.size(), 1u);
        EXPECT_NE(ui.errors[0].find(g_resources.GetMessageText("mbio.timeout")), std::string::npos);
        EXPECT_EQ(m.line().Requests(3).size(), 3u);
    }
}

// Asked to, the connection step stores the chosen port before it probes, so that the choice
// stays even when the device does not answer; otherwise it writes nothing.
TEST_F(DeviceSession, ConnectionStepSavesTheChosenPortBeforeProbing) {
    testing_support::TempDir dir;
    const std::string previous = SettingsFile();
    SetSettingsFile(dir.File("NORVELCO.conf"));
    devsim::CDeviceSim sim(Config("RB16KT5_2"));
    for (bool answers : {true, false}) {
        SCOPED_TRACE(answers ? "device answers" : "silent line");
        std::filesystem::remove(dir.File("NORVELCO.conf"));
        SimMaster m(sim);
        m.line().silent = !answers;
        ScriptedUi ui;
        ComSettings settings;
        settings.Address = 1;
        settings.Baudrate = 5;
        EXPECT_EQ(ConnectDevice(m.master(), ui, settings, true), answers);
        const ComSettings saved = ComSettings::Loaded();
        EXPECT_EQ(saved.COMPortName, "/dev/simulated");
        EXPECT_EQ(saved.Baudrate, 5);
        EXPECT_EQ(m.master().Settings().COMPortName, "/dev/simulated");
    }
    std::filesystem::remove(dir.File("NORVELCO.conf"));
    SimMaster m(sim);
    ScriptedUi ui;
    EXPECT_TRUE(ConnectDevice(m.master(), ui, ComSettings{}, false));
    EXPECT_FALSE(std::filesystem::exists(dir.File("NORVELCO.conf"))) << "nothing saved unasked";
    SetSettingsFile(previous);
}

TEST_F(DeviceSession, PasswordsThatCannotBeSentNeverReachTheDevice) {
    devsim::CDeviceSim sim(Config("RB16KT5_2"));
    SimMaster m(sim);
    m.master().Open();
    EXPECT_EQ(SendPassword(m.master(), ""), "stopcom");
    EXPECT_EQ(SendPassword(m.master(), "0123456789abcdefX"), "passtoolong");
    EXPECT_EQ(SendPassword(m.master(), "\xE3\x81\x82"), "passchars");
    EXPECT_TRUE(m.line().RequestCount() == 0);
    m.master().Close();
}
