#include "app/settings.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

// Every test gets a store of its own and never sees the user's settings.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { SetSettingsFile(m_dir.File("settings.ini")); }
    void TearDown() override { SetSettingsFile(""); }
    std::string WriteIni(const std::string& content) {
        return m_dir.Write("settings.ini", content);
    }

    testing_support::TempDir m_dir;
};

TEST_F(SettingsTest, EmptyStoreGivesDefaults) {
    ComSettings s = ComSettings::Loaded();
    EXPECT_EQ(s.Mode, 0);
    EXPECT_EQ(s.Address, 1);
    EXPECT_EQ(s.COMPort, 0);
    EXPECT_EQ(s.Baudrate, 5);
    EXPECT_EQ(s.BaudRate(), 38400);
    EXPECT_EQ(s.Character, 0);
    EXPECT_EQ(s.DataBits(), 7);
    EXPECT_EQ(s.Parity, 1);
    EXPECT_EQ(s.Stop, 0);
    EXPECT_EQ(s.StopBits(), STOPBITS_ONE);
    EXPECT_EQ(s.ServerAddress, kDefaultServerAddress);
    EXPECT_EQ(s.ServicePort, "502");
    EXPECT_EQ(s.COMPortName, "");
    EXPECT_EQ(s.COMPortDisplayName, "");
    EXPECT_EQ(s.IRCOMPortName, "");
    EXPECT_EQ(s.TargetMac, MacAddress{});
    EXPECT_EQ(s.PortNumber(), 1);
}

TEST_F(SettingsTest, CharacterIsWrittenButNotReadBack) {
    ComSettings s;
    s.Character = 1;
    s.Save();
    EXPECT_EQ(ComSettings::Loaded().Character, 0);
    WriteIni("[ComSettings]\nCharacter=1\nBaudrate=3\n");
    ComSettings loaded = ComSettings::Loaded();
    EXPECT_EQ(loaded.Character, 0);
    EXPECT_EQ(loaded.Baudrate, 3);
}

TEST_F(SettingsTest, StoredValuesOutsideTheTablesFallBack) {
    WriteIni("[ComSettings]\nBaudrate=9\nStop=5\nAddress=not a number\n");
    ComSettings s = ComSettings::Loaded();
    EXPECT_EQ(s.BaudRate(), 1200);
    EXPECT_EQ(s.StopBits(), STOPBITS_ONE);
    EXPECT_EQ(s.DataBits(), 7);
    EXPECT_EQ(s.Address, 1);
}

TEST(ComSettingsAccessors, TablesAndFallBacks) {
    struct Case {
        int index, rate, dataBits, stopBits;
    };
    const Case cases[] = {
        {-1, 1200, 7, STOPBITS_ONE}, {0, 1200, 7, STOPBITS_ONE}, {1, 2400, 8, STOPBITS_TWO},
        {2, 4800, 7, STOPBITS_ONE},  {3, 9600, 7, STOPBITS_ONE}, {4, 19200, 7, STOPBITS_ONE},
        {5, 38400, 7, STOPBITS_ONE}, {6, 1200, 7, STOPBITS_ONE},
    };
    for (const Case& c : cases) {
        ComSettings s;
        s.Baudrate = s.Character = s.Stop = c.index;
        EXPECT_EQ(s.BaudRate(), c.rate) << c.index;
        EXPECT_EQ(s.DataBits(), c.dataBits) << c.index;
        EXPECT_EQ(s.StopBits(), c.stopBits) << c.index;
    }
}

TEST_F(SettingsTest, RoundTripKeepsEveryValue) {
    ComSettings s;
    s.Mode = 3;
    s.Address = 247;
    s.COMPort = 4;
    s.COMPortName = "/dev/ttyUSB0";
    s.COMPortDisplayName = "USB serial, FTDI (ttyUSB0) \"A\"";
    s.IRCOMPortName = "@ir";
    s.IRCOMPortDisplayName = "Infrarot – ポート";
    s.Baudrate = 2;
    s.Parity = PARITY_SPACE;
    s.Stop = 1;
    s.ServerAddress = "10.0.0.7";
    s.ServicePort = "1502";
    s.TargetMac = {0x00, 0x11, 0x22, 0xaa, 0xbb, 0xff};
    s.SourceMac = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01};
    s.Save();

    ComSettings r = ComSettings::Loaded();
    EXPECT_EQ(r.Mode, 3);
    EXPECT_EQ(r.Address, 247);
    EXPECT_EQ(r.COMPort, 4);
    EXPECT_EQ(r.COMPortName, s.COMPortName);
    EXPECT_EQ(r.COMPortDisplayName, s.COMPortDisplayName);
    EXPECT_EQ(r.IRCOMPortName, s.IRCOMPortName);
    EXPECT_EQ(r.IRCOMPortDisplayName, s.IRCOMPortDisplayName);
    EXPECT_EQ(r.Baudrate, 2);
    EXPECT_EQ(r.Parity, PARITY_SPACE);
    EXPECT_EQ(r.Stop, 1);
    EXPECT_EQ(r.ServerAddress, "10.0.0.7");
    EXPECT_EQ(r.ServicePort, "1502");
    EXPECT_EQ(r.TargetMac, s.TargetMac);
    EXPECT_EQ(r.SourceMac, s.SourceMac);
}

TEST_F(SettingsTest, HandEditedListValueReadsAsText) {
    WriteIni("[ComSettings]\nCOMPortDisplayName=USB serial, FTDI\n");
    EXPECT_EQ(ComSettings::Loaded().COMPortDisplayName, "USB serial, FTDI");
}

TEST(MacText, ParsesOnlyWellFormedAddresses) {
    EXPECT_EQ(MacFromText("00:11:22:AA:bb:Ff"), (MacAddress{0x00, 0x11, 0x22, 0xaa, 0xbb, 0xff}));
    EXPECT_EQ(MacToText({0x00, 0x11, 0x22, 0xaa, 0xbb, 0xff}), "00:11:22:aa:bb:ff");
    for (const char* bad : {"", "00:11:22:33:44", "00:11:22:33:44:55:66", "00-11-22-33-44-55",
                            "0g:11:22:33:44:55", "00:11:22:33:44:5", " 0:11:22:33:44:55"})
        EXPECT_EQ(MacFromText(bad), MacAddress{}) << bad;
}

TEST_F(SettingsTest, LanguageFileDefaultsAndRoundTrip) {
    CAppSettings app;
    app.Load();
    EXPECT_EQ(app.GetLanguageFile(), "English.lng");

    WriteIni("[Settings]\nDisplayLanguage=\n");
    app.SetLanguageFile("x");
    app.Load();
    EXPECT_EQ(app.GetLanguageFile(), "English.lng");

    app.SetLanguageFile("Japanese.lng");
    app.Save();
    CAppSettings other;
    other.Load();
    EXPECT_EQ(other.GetLanguageFile(), "Japanese.lng");
}

TEST_F(SettingsTest, VerificationAfterDownloadIsOnUnlessTurnedOff) {
    CAppSettings app;
    app.Load();
    EXPECT_TRUE(app.GetVerifyAfterDownload());
    app.SetVerifyAfterDownload(false);
    app.Save();
    EXPECT_NE(testing_support::ReadFile(m_dir.File("settings.ini")).find("VerifyAfterDownload=0"),
              std::string::npos);
    CAppSettings other;
    other.Load();
    EXPECT_FALSE(other.GetVerifyAfterDownload());
    WriteIni("[Settings]\nVerifyAfterDownload=1\n");
    other.Load();
    EXPECT_TRUE(other.GetVerifyAfterDownload());
}

}  // namespace
