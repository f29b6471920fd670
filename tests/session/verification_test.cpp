// The read-back after a download: what it compares, how a difference is named, and the two
// passes of one progress.
#include "session/verification.h"

#include <gtest/gtest.h>

#include "model/dev_types.h"
#include "model/modbus_mapping.h"
#include "sim_line.h"
#include "test_support.h"

using testing_support::ErrorText;
using testing_support::KeyText;
using testing_support::SimMaster;

namespace {

devsim::SimConfig Config(const char* model, std::set<uint16_t> stuck = {}) {
    devsim::SimConfig c;
    c.entry = CDevType::FindModel(model);
    c.stuck = std::move(stuck);
    return c;
}

std::unique_ptr<CDevInterface> NewModel(const char* model) {
    return CDevType().Create(CDevType::FindModel(model), 0, DEV_SETTINGS);
}

// Records the passes and progress values as one sequence: pass p of n is -p.
class RecordingProgress : public TransferProgress {
public:
    void SetProgress(double f) override {
        values.push_back(f);
        cancelled = cancelled || (cancelAfter && values.size() >= cancelAfter);
    }
    void BeginPass(int pass, int passes) override {
        EXPECT_EQ(passes, 2);
        values.push_back(-pass);
    }
    bool Cancelled() const override { return cancelled; }
    std::vector<double> values;
    size_t cancelAfter = 0;
    bool cancelled = false;
};

class Verification : public ::testing::Test {
protected:
    void SetUp() override { testing_support::LoadEnglish(); }
};

}  // namespace

TEST_F(Verification, EveryModelReadsBackWhatWasWrittenInTwoPasses) {
    for (int entry = 0; entry < CDevType::EntryCount(); ++entry) {
        const char* code = CDevType::Entry(entry).modelCode;
        SCOPED_TRACE(code);
        devsim::CDeviceSim sim(Config(code));
        SimMaster m(sim);
        auto model = NewModel(code);
        model->Find("panid").SetText("1A2B");
        RecordingProgress progress;
        std::optional<VerifyResult> result;
        ASSERT_TRUE(WriteAndVerify(m.master(), *model, progress, true, &result));
        ASSERT_TRUE(result);
        EXPECT_TRUE(result->Passed());
        int compared = 0;
        for (int i = 0; i < model->Count(); ++i) compared += model->At(i).Value().Count() ? 1 : 0;
        EXPECT_EQ(result->compared, compared);

        // Each written block is read back once, after the last write.
        CModbusMapping image;
        image.AddModel(*model);
        const auto writes = m.line().Requests(16), reads = m.line().Requests(3);
        ASSERT_EQ(writes.size(), image.Blocks().size());
        EXPECT_EQ(std::vector(reads.end() - static_cast<long>(writes.size()), reads.end()), writes);
        std::vector<double> pass;
        const double n = static_cast<double>(writes.size());
        for (size_t i = 0; i < writes.size(); ++i) pass.push_back(i / n);
        pass.push_back(1.0);
        std::vector<double> expected = {-1};
        expected.insert(expected.end(), pass.begin(), pass.end());
        expected.push_back(-2);
        expected.insert(expected.end(), pass.begin(), pass.end());
        EXPECT_EQ(progress.values, expected);
        EXPECT_FALSE(m.line().isOpen);
    }
}

TEST_F(Verification, StuckRegistersFailTheDownloadNamingEachParameter) {
    // Short address (1211), the network name's first register (1213) and the baud rate (1150).
    devsim::CDeviceSim sim(Config("RB16KT5_2", {1150, 1211, 1213}));
    SimMaster m(sim);
    auto model = NewModel("RB16KT5_2");
    model->Find("sadrs").SetText("0042");
    model->Find("netname").SetText("Site-7");
    model->Find("rate").SetNumber(1);
    model->Find("panid").SetText("1A2B");
    RecordingProgress progress;
    std::optional<VerifyResult> result;
    const std::string text =
        ErrorText([&] { WriteAndVerify(m.master(), *model, progress, true, &result, 2); });
    ASSERT_TRUE(result);
    ASSERT_EQ(result->differences.size(), 3u);
    EXPECT_EQ(sim.Register(1200), 0x1A2B) << "everything else was written";

    const auto& sadrs = result->differences[1];
    EXPECT_EQ(sadrs.index, model->IndexOf("sadrs"));
    EXPECT_EQ(sadrs.written, "0042");
    EXPECT_EQ(sadrs.held, "0000");
    std::string lines;
    for (const std::string& line :
         {KeyText("verifyline", {model->Find("rate").GetLabel(), "19200 bit/s", "9600 bit/s"}),
          KeyText("verifyline", {model->Find("sadrs").GetLabel(), "0042", "0000"}),
          KeyText("verifymore", {int32_t{1}})}) {
        lines += '\n';
        lines += line;
    }
    EXPECT_EQ(text, KeyText("verifyerr", {int32_t{3}, int32_t{result->compared}, lines}));
}

TEST_F(Verification, ValuesTheDeviceChangesByItselfAreNotCompared) {
    // Every row of a monitor model is read-only or an operation: live values never fail it.
    devsim::CDeviceSim sim(Config("RB16T5-PLX4M_2"));
    SimMaster m(sim);
    auto monitor = CDevType().Create(CDevType::FindModel("RB16T5-PLX4M_2"), 0, DEV_MONITOR);
    RecordingProgress progress;
    auto result = VerifyDevice(m.master(), *monitor, progress);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->compared, 0);
    EXPECT_TRUE(result->Passed());
    EXPECT_FALSE(IsVerified(monitor->Find("resetcmd")));
    EXPECT_FALSE(IsVerified(monitor->Find("rssi")));
}

TEST_F(Verification, CancelOrNoVerificationEndsAfterTheWrite) {
    devsim::CDeviceSim sim(Config("RB16KT5QB", {1211}));
    auto model = NewModel("RB16KT5QB");
    model->Find("sadrs").SetText("0042");
    {
        // Cancelled during the read-back: no error, no result.
        SimMaster m(sim);
        RecordingProgress progress;
        progress.cancelAfter = 6;  // the write pass's five values, then the first read
        std::optional<VerifyResult> result;
        EXPECT_FALSE(WriteAndVerify(m.master(), *model, progress, true, &result));
        EXPECT_FALSE(result);
        EXPECT_FALSE(m.line().isOpen);
    }
    {
        SimMaster m(sim);
        RecordingProgress progress;
        EXPECT_TRUE(WriteAndVerify(m.master(), *model, progress, false));
        EXPECT_EQ(m.line().Requests(3).size(), 2u) << "only the identification";
        EXPECT_EQ(progress.values.back(), 1.0);
    }
}
