#include "ui/connect_dialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "fake_port_tree.h"
#include "sim_process.h"
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
            ui_support::SaveScreenshot(&d, std::string("connect-") + language,
                                       ui_support::DialogSize(&d, 392, 46));
            d.reject();
        });
        std::filesystem::remove_all(dir.File("ports"));
    }
}

namespace {

const testing_support::UsbIdentity kFtdi{"0403", "6001", "FTDI", "FT232R USB UART", "A1B2C3"};
const char* const kFtdiById = "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";

// The entry the dialog shows first, given what the settings saved.
int Preselected(const PortDiscoveryRoots& roots, const ComSettings& saved) {
    CConnectDialog dialog(nullptr, CComPortList(roots));
    ComSettings settings = saved;
    int shown = -2;
    RunWith(dialog, settings, [&](CConnectDialog& d) {
        shown = d.PortBox()->currentIndex();
        d.reject();
    });
    return shown;
}

}  // namespace

// The display name holds the ttyUSB number; the by-id path finds the adapter after a re-plug
// where the name alone would fall back to the first port (a legacy ttyS).
TEST_F(ConnectDialogTest, PreselectionSurvivesAReplugUnderAnotherNumber) {
    testing_support::FakePortTree tree;
    tree.Legacy(0, 4);
    tree.Usb("ttyUSB0", kFtdi, kFtdiById, "1");
    ComSettings settings;
    {
        CConnectDialog dialog(nullptr, CComPortList(tree.roots));
        ASSERT_TRUE(RunWith(dialog, settings, [](CConnectDialog& d) {
            d.PortBox()->setCurrentIndex(1);
            d.accept();
        }));
    }
    EXPECT_EQ(settings.COMPortName, tree.roots.dev + "/serial/by-id/" + kFtdiById);
    EXPECT_EQ(settings.COMPortDisplayName, "FT232R USB UART (ttyUSB0)");

    tree.Unplug("ttyUSB0", kFtdiById, "1");
    tree.Usb("ttyUSB1", kFtdi, kFtdiById, "4");
    EXPECT_EQ(Preselected(tree.roots, settings), 1);

    // The exact display name comes first, even where the path names another entry.
    tree.Virtual("sim");
    ComSettings both = settings;
    both.COMPortDisplayName = "sim (" + tree.dir.File("pts-sim") + ")";
    EXPECT_EQ(Preselected(tree.roots, both), 2);
}

TEST_F(ConnectDialogTest, ToolTipTellsTheAdaptersIdentity) {
    testing_support::FakePortTree tree;
    tree.Usb("ttyUSB0", kFtdi, kFtdiById);
    tree.Virtual("sim");
    CConnectDialog dialog(nullptr, CComPortList(tree.roots));
    ComSettings settings;
    RunWith(dialog, settings, [](CConnectDialog& d) { d.reject(); });
    const QString tip = dialog.PortBox()->itemData(0, Qt::ToolTipRole).toString();
    for (const char* part : {"FTDI", "0403:6001", "A1B2C3", kFtdiById, "ttyUSB0"})
        EXPECT_TRUE(tip.contains(part)) << part << " in " << tip.toStdString();
    EXPECT_EQ(dialog.PortBox()->toolTip(), tip);
    dialog.PortBox()->setCurrentIndex(1);
    EXPECT_TRUE(dialog.PortBox()->toolTip().contains("pts-sim"));
}

// While the dialog is open, a link that comes or goes in the virtual ports folder shows in the
// list, and the port the user picked stays picked.
TEST_F(ConnectDialogTest, ListFollowsVirtualPortsAndKeepsTheChoice) {
    testing_support::FakePortTree tree;
    tree.Virtual("b");
    tree.dir.Write("pts-a", "");
    CConnectDialog dialog(nullptr, tree.roots);
    ComSettings settings;
    auto names = [&] {
        QStringList items;
        for (int i = 0; i < dialog.PortBox()->count(); ++i) items << dialog.PortBox()->itemText(i);
        return items.join(",");
    };
    ASSERT_TRUE(RunWith(dialog, settings, [&](CConnectDialog& d) {
        std::filesystem::create_symlink(tree.dir.File("pts-a"), tree.roots.virtualPorts + "/a");
        EXPECT_TRUE(QTest::qWaitFor([&] { return d.PortBox()->count() == 2; }, 5000))
            << names().toStdString();
        EXPECT_TRUE(d.PortBox()->currentText().startsWith("b ("));
        std::filesystem::remove(tree.roots.virtualPorts + "/a");
        EXPECT_TRUE(QTest::qWaitFor([&] { return d.PortBox()->count() == 1; }, 5000));
        d.accept();
    }));
    EXPECT_EQ(settings.COMPortName, tree.roots.virtualPorts + "/b");
}

// The simulator as a program: its port shows within a second of its start and goes after its end.
TEST_F(ConnectDialogTest, ListGainsAndLosesARunningSimulator) {
    testing_support::FakePortTree tree;
    tree.roots.virtualPorts = dir.File("norvelco/ports");
    CConnectDialog dialog(nullptr, tree.roots);
    ComSettings settings;
    RunWith(dialog, settings, [&](CConnectDialog& d) {
        {
            testing_support::SimProcess sim({"--type", "RB16KT5QA", "--link", "field"},
                                            dir.Path().string());
            ASSERT_FALSE(sim.Port().empty());
            EXPECT_TRUE(QTest::qWaitFor([&] { return d.PortBox()->count() == 1; }, 5000));
            EXPECT_EQ(d.PortBox()->currentText().toStdString(), "field (" + sim.Port() + ")");
            sim.Stop();
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return d.PortBox()->count() == 0; }, 5000));
        d.reject();
    });
}
