#include "ui/connect_dialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QTimer>
#include <filesystem>

#include "ui_support.h"

namespace {

// A port list of three virtual ports: a, b and c.
CComPortList ThreePorts(testing_support::TempDir& dir) {
    PortDiscoveryRoots roots{dir.File("sys"), dir.File("dev"), dir.File("ports")};
    std::filesystem::create_directories(roots.virtualPorts);
    for (const char* name : {"a", "b", "c"}) {
        dir.Write(std::string("pty-") + name, "");
        std::filesystem::create_symlink(dir.File(std::string("pty-") + name),
                                        roots.virtualPorts + "/" + name);
    }
    return CComPortList(roots);
}

// Runs the dialog, doing what the user does once it is shown.
bool RunWith(CConnectDialog& dialog, ComSettings& settings,
             std::function<void(CConnectDialog&)> user) {
    QTimer::singleShot(0, &dialog, [&] { user(dialog); });
    return dialog.Run(settings);
}

class ConnectDialogTest : public ::testing::Test {
protected:
    void SetUp() override { testing_support::LoadEnglish(); }
    testing_support::TempDir dir;
};

}  // namespace

TEST_F(ConnectDialogTest, PreselectsTheSavedPortAndStoresTheFixedLineSettings) {
    CComPortList ports = ThreePorts(dir);
    ComSettings settings;
    settings.COMPortDisplayName = ports.GetDisplayName(1);
    settings.Mode = 4;
    settings.Baudrate = 2;
    settings.Character = 0;
    settings.Parity = 0;
    settings.Stop = 1;
    settings.Address = 7;
    settings.ServerAddress = "10.1.2.3";
    CConnectDialog dialog(nullptr, ports);
    int shown = -1;
    ASSERT_TRUE(RunWith(dialog, settings, [&](CConnectDialog& d) {
        shown = d.PortBox()->currentIndex();
        d.PortBox()->setCurrentIndex(2);
        d.accept();
    }));
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(settings.COMPortName, ports.GetPath(2));
    EXPECT_EQ(settings.COMPortDisplayName, ports.GetDisplayName(2));
    EXPECT_EQ(settings.Mode, 0);
    EXPECT_EQ(settings.Address, 1);
    EXPECT_EQ(settings.Baudrate, 5);
    EXPECT_EQ(settings.Character, 1);
    EXPECT_EQ(settings.Parity, 1);
    EXPECT_EQ(settings.Stop, 0);
    EXPECT_EQ(settings.ServerAddress, "10.1.2.3") << "other fields keep their values";
    EXPECT_EQ(dialog.windowTitle().toStdString(), g_resources.GetGuiText(129, 0));
}

TEST_F(ConnectDialogTest, UnknownSavedPortSelectsTheFirstAndCancelKeepsTheRecord) {
    ComSettings settings;
    settings.COMPortDisplayName = "unplugged adapter";
    settings.COMPortName = "/dev/ttyUSB9";
    CConnectDialog dialog(nullptr, ThreePorts(dir));
    int shown = -1;
    EXPECT_FALSE(RunWith(dialog, settings, [&](CConnectDialog& d) {
        shown = d.PortBox()->currentIndex();
        d.PortBox()->setCurrentIndex(2);
        d.reject();
    }));
    EXPECT_EQ(shown, 0);
    EXPECT_EQ(settings.COMPortName, "/dev/ttyUSB9");
    EXPECT_EQ(settings.COMPortDisplayName, "unplugged adapter");
}

TEST_F(ConnectDialogTest, NoPortsStoreEmptyNames) {
    ComSettings settings;
    settings.COMPortName = "/dev/old";
    CConnectDialog dialog(
        nullptr, CComPortList(PortDiscoveryRoots{dir.File("x"), dir.File("y"), dir.File("z")}));
    EXPECT_TRUE(RunWith(dialog, settings, [](CConnectDialog& d) { d.accept(); }));
    EXPECT_EQ(settings.COMPortName, "");
}

TEST_F(ConnectDialogTest, Screenshots) {
    for (const char* language : {"English.lng", "Japanese.lng"}) {
        g_resources.LoadLanguage(language);
        CConnectDialog dialog(nullptr, ThreePorts(dir));
        ComSettings settings;
        RunWith(dialog, settings, [&](CConnectDialog& d) {
            ui_support::SaveScreenshot(&d, std::string("connect-") + language);
            d.reject();
        });
        std::filesystem::remove_all(dir.File("ports"));
    }
}
