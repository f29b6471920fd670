#include "modbus/port_discovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "fake_port_tree.h"
#include "modbus/port_monitor.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testing_support::FakePortTree;
using testing_support::UsbIdentity;

namespace {

const UsbIdentity kFtdi{"0403", "6001", "FTDI", "FT232R USB UART", "A1B2C3"};
const char* const kFtdiById = "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";

std::vector<std::pair<std::string, std::string>> List(const CComPortList& list) {
    std::vector<std::pair<std::string, std::string>> out;
    for (int i = 0; i < list.GetCount(); ++i)
        out.emplace_back(list.GetPath(i), list.GetDisplayName(i));
    return out;
}

}  // namespace

TEST(PortDiscovery, NoSourcesGiveAnEmptyList) {
    FakePortTree tree;
    CComPortList list(tree.roots);
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.GetPath(0), "");
    EXPECT_EQ(list.GetDisplayName(-1), "");
}

TEST(PortDiscovery, ListsRealPortsInNaturalOrderWithFriendlyNames) {
    FakePortTree tree;
    for (int n = 0; n < 16; ++n)
        tree.Legacy(n, n == 1 || n == 10 ? 4 : 0);  // two UARTs, fourteen ghost ports
    tree.Usb("ttyUSB0", kFtdi, kFtdiById);
    tree.Usb("ttyACM0", {}, "", "2");  // found only by the tty scan
    tree.Pseudo("ptmx");
    tree.Virtual("devsim-RB16KT5_2");
    const std::string dev = tree.roots.dev;
    EXPECT_EQ(List(CComPortList(tree.roots)),
              (std::vector<std::pair<std::string, std::string>>{
                  {dev + "/ttyACM0", "ttyACM0"},
                  {dev + "/ttyS1", "ttyS1"},
                  {dev + "/ttyS10", "ttyS10"},
                  {dev + "/serial/by-id/" + kFtdiById, "FT232R USB UART (ttyUSB0)"},
                  {tree.roots.virtualPorts + "/devsim-RB16KT5_2",
                   "devsim-RB16KT5_2 (" + tree.dir.File("pts-devsim-RB16KT5_2") + ")"},
              }));
}

TEST(PortDiscovery, UsbAdapterCarriesItsIdentityAndByIdLink) {
    FakePortTree tree;
    tree.Usb("ttyUSB0", kFtdi, kFtdiById);
    CComPortList list(tree.roots);
    ASSERT_EQ(list.GetCount(), 1);
    const ComPortEntry& e = list.Entries()[0];
    EXPECT_EQ(e.vendorId, "0403");
    EXPECT_EQ(e.productId, "6001");
    EXPECT_EQ(e.manufacturer, "FTDI");
    EXPECT_EQ(e.product, "FT232R USB UART");
    EXPECT_EQ(e.serial, "A1B2C3");
    EXPECT_EQ(e.byId, tree.roots.dev + "/serial/by-id/" + kFtdiById);
    EXPECT_EQ(e.path, e.byId);
    EXPECT_EQ(e.device, tree.roots.dev + "/ttyUSB0");
    EXPECT_FALSE(e.isVirtual);

    testing_support::LoadEnglish();
    EXPECT_EQ(PortIdentityLine(e), "0403:6001 FTDI FT232R USB UART, serial A1B2C3");
    const std::string details = PortDetailsText(e);
    for (const std::string& part :
         {std::string("FTDI"), std::string("0403:6001"), std::string("A1B2C3"), e.byId, e.device})
        EXPECT_NE(details.find(part), std::string::npos) << part << " in " << details;
}

TEST(PortDiscovery, ReplugUnderAnotherNumberKeepsThePath) {
    FakePortTree tree;
    tree.Usb("ttyUSB0", kFtdi, kFtdiById, "1");
    const std::string before = CComPortList(tree.roots).GetPath(0);
    tree.Unplug("ttyUSB0", kFtdiById, "1");
    tree.Usb("ttyUSB1", kFtdi, kFtdiById, "3");
    CComPortList after(tree.roots);
    ASSERT_EQ(after.GetCount(), 1);
    EXPECT_EQ(after.GetPath(0), before);
    EXPECT_EQ(after.GetDisplayName(0), "FT232R USB UART (ttyUSB1)");
    EXPECT_EQ(after.Entries()[0].device, tree.roots.dev + "/ttyUSB1");
}

TEST(PortDiscovery, ByIdNameServesWhenThereIsNoProductAndStaleLinksAreSkipped) {
    FakePortTree tree;
    tree.Usb("ttyUSB3", {}, "usb-Prolific_PL2303-if00-port0");
    tree.Virtual("gone");
    fs::remove(tree.dir.File("pts-gone"));
    CComPortList list(tree.roots);
    ASSERT_EQ(list.GetCount(), 1);
    EXPECT_EQ(list.GetDisplayName(0), "usb-Prolific_PL2303-if00-port0 (ttyUSB3)");
    EXPECT_EQ(list.Find(list.GetPath(0)), 0);
    EXPECT_EQ(list.Find("/dev/none"), -1);
    EXPECT_EQ(list.FindDisplayName("usb-Prolific_PL2303-if00-port0 (ttyUSB3)"), 0);
    EXPECT_EQ(list.FindDisplayName("ttyUSB3"), -1);
}

// The udev path and the sysfs walk agree on which of this machine's ttys are ports.
TEST(PortDiscovery, UdevFindsTheSamePortsAsSysfs) {
    auto names = [](const CTtyDatabase& db) {
        std::set<std::string> out;
        for (const TtyDevice& t : db.Ttys())
            if (t.hasDevice && (!t.name.starts_with("ttyS") || t.hasUart)) out.insert(t.name);
        return out;
    };
    EXPECT_EQ(names(*MakeUdevDatabase()), names(*MakeSysfsDatabase(PortDiscoveryRoots{})));
}

TEST(PortDiscovery, VirtualPortsFolderFollowsTheRuntimeDirectory) {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    std::string saved = old ? old : "";
    setenv("XDG_RUNTIME_DIR", "/run/user/1234", 1);
    EXPECT_EQ(VirtualPortsFolder(), "/run/user/1234/norvelco/ports");
    EXPECT_TRUE(VirtualPortsFolderIsPrivate(VirtualPortsFolder()));
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(VirtualPortsFolder(), "/tmp/norvelco-" + std::to_string(::getuid()) + "/ports");
    testing_support::TempDir dir;
    fs::create_directories(dir.File("shared/ports"));
    ::chmod(dir.File("shared").c_str(), 01777);
    EXPECT_FALSE(VirtualPortsFolderIsPrivate(dir.File("shared/ports")));
    ::chmod(dir.File("shared").c_str(), 0700);
    EXPECT_TRUE(VirtualPortsFolderIsPrivate(dir.File("shared/ports")));
    if (old) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

// A folder in the shared /tmp is trusted only when it is this user's own and closed to others.
TEST(PortDiscovery, PrivateFolderCheck) {
    testing_support::TempDir dir;
    struct Case {
        const char* name;
        mode_t mode;
        bool link;
        bool file;
        bool expected;
    } cases[] = {
        {"private", 0700, false, false, true},
        {"group-writable", 0770, false, false, false},
        {"world-writable", 0777, false, false, false},
        {"readable-by-others", 0755, false, false, false},
        {"link-to-private", 0700, true, false, false},
        {"plain-file", 0600, false, true, false},
    };
    for (const Case& c : cases) {
        const std::string path = dir.File(c.name);
        const std::string real = c.link ? dir.File(std::string(c.name) + "-target") : path;
        if (c.file)
            dir.Write(c.name, "");
        else
            fs::create_directory(real);
        ::chmod(real.c_str(), c.mode);
        if (c.link) fs::create_directory_symlink(real, path);
        EXPECT_EQ(IsPrivateFolder(path), c.expected) << c.name;
    }
    if (::getuid() == 0) {  // a folder someone else owns
        fs::create_directory(dir.File("foreign"));
        ::chmod(dir.File("foreign").c_str(), 0700);
        ASSERT_EQ(::chown(dir.File("foreign").c_str(), 65534, 65534), 0);
        EXPECT_FALSE(IsPrivateFolder(dir.File("foreign")));
    }
}

// Links coming and going in the virtual ports folder are seen, also when the folder itself is
// made only after the watch began.
TEST(PortMonitor, SeesVirtualPortsComeAndGo) {
    testing_support::TempDir dir;
    const std::string folder = dir.File("norvelco/ports");
    CPortMonitor monitor(folder, false);
    ASSERT_FALSE(monitor.Descriptors().empty());
    auto changedWithin = [&](auto action) {
        action();
        for (int i = 0; i < 50; ++i)
            if (monitor.Wait(std::chrono::milliseconds(100))) return true;
        return false;
    };
    EXPECT_TRUE(changedWithin([&] { fs::create_directories(folder); }));
    // Seen as the creation of the folder above, then the watch moves down to the folder.
    while (monitor.Wait(std::chrono::milliseconds(50))) {
    }
    dir.Write("pty", "");
    EXPECT_TRUE(changedWithin([&] { fs::create_symlink(dir.File("pty"), folder + "/sim"); }));
    EXPECT_TRUE(changedWithin([&] { fs::remove(folder + "/sim"); }));
}
