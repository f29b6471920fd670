// The hand-over report's two forms: what they hold, and texts that must not break them.
#include "session/report.h"

#include <gtest/gtest.h>

#include <sstream>

#include "model/dev_types.h"
#include "test_support.h"

using testing_support::KeyText;

namespace {

class Report : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::LoadEnglish();
        model = CDevType().Create(CDevType::FindModel("RB16T5-SQ7_2"), 0, DEV_SETTINGS);
        // Not a text the editor takes, but one a device or file may hold.
        model->Find("netname").Value().SetString(0, "A&B<C>");
        data.made = 1'800'000'000;  // 2027-01-15 08:00:00 UTC
        data.program = "NORVELCO Version 1.0.0";
        data.port = "/dev/ttyUSB0";
        data.model = model.get();
        data.device = DeviceInfo{"1.0.0", "SN \"7\"", "00:13:A2:00:01:02:03:04"};
        VerifyResult v;
        v.compared = 36;
        v.differences.push_back({model->IndexOf("sadrs"), "0042", "0000"});
        data.verification = v;
    }
    std::unique_ptr<CDevInterface> model;
    ReportData data;
};

}  // namespace

TEST_F(Report, HtmlPageHoldsIdentificationEveryParameterAndTheVerification) {
    const std::string html = ReportHtml(data);
    for (const char* expected :
         {"2027-01-15 08:00:00 UTC", "NORVELCO Version 1.0.0", "/dev/ttyUSB0", "RB16T5-SQ7_2",
          "20243", "SN &quot;7&quot;", "00:13:A2:00:01:02:03:04", "A&amp;B&lt;C&gt;"})
        EXPECT_NE(html.find(expected), std::string::npos) << expected;
    EXPECT_EQ(html.find("A&B<C>"), std::string::npos) << "texts are escaped";
    for (int i = 0; i < model->Count(); ++i)
        EXPECT_NE(html.find(model->At(i).GetLabel()), std::string::npos) << model->At(i).Key();
    EXPECT_NE(html.find(KeyText("report.verifyfail", {int32_t{1}, int32_t{36}})),
              std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("http"), std::string::npos) << "self-contained: nothing is fetched";

    data.verification.reset();
    data.device.reset();
    const std::string file = ReportHtml(data);
    EXPECT_EQ(file.find(KeyText("report.verify")), std::string::npos);
    EXPECT_NE(file.find(KeyText("report.version")), std::string::npos);
}

TEST_F(Report, CsvHasOneQuotedRowPerFactDifferenceAndParameter) {
    std::istringstream csv(ReportCsv(data));
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(csv, line)) {
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.back(), '\r');
        lines.push_back(line.substr(0, line.size() - 1));
    }
    int parameters = 0;
    for (int i = 0; i < model->Count(); ++i) parameters += model->At(i).Type() != PAR_GROUP;
    // Header, eight facts (date, program, port, model, type code, firmware, serial, MAC), the
    // verification summary and its difference, then the parameters.
    EXPECT_EQ(lines.size(), 1u + 8u + 2u + static_cast<size_t>(parameters));
    std::string serialRow = "\"";
    serialRow += KeyText("report.title");
    serialRow += "\",\"";
    serialRow += KeyText("report.serial");
    serialRow += "\",\"\",\"SN \"\"7\"\"\",\"\"";
    EXPECT_NE(std::find(lines.begin(), lines.end(), serialRow), lines.end());
    std::string netname = "\"";
    netname += model->Find("netname").GetLabel();
    netname += "\",\"netname\"";
    bool found = false;
    for (const std::string& l : lines) found = found || l.find(netname + ",\"A&B<C>\"") != l.npos;
    EXPECT_TRUE(found);
}
