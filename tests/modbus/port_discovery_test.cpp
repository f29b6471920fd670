#include "modbus/port_discovery.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// A fake sysfs and /dev tree with the kinds of ports a field laptop has.
class FakeTree {
public:
    FakeTree() {
        roots.sysfs = dir.File("sys");
        roots.dev = dir.File("dev");
        roots.virtualPorts = dir.File("virtual");
        fs::create_directories(roots.dev);
    }
    // A legacy port whose sysfs type tells whether a UART is behind it.
    void Legacy(int n, int type) {
        fs::path tty = fs::path(roots.sysfs) / "class/tty" / ("ttyS" + std::to_string(n));
        fs::create_directories(tty);
        dir.Write("sys/class/tty/ttyS" + std::to_string(n) + "/type", std::to_string(type) + "\n");
        Device(tty, "devices/platform/serial8250/tty" + std::to_string(n));
    }
    // A USB tty with an optional product name and by-id link.
    void Usb(const std::string& name, const std::string& product, const std::string& byId) {
        fs::path usb = fs::path(roots.sysfs) / "devices/pci0000:00/usb1" / ("1-" + name);
        fs::create_directories(usb / "1-1:1.0");
        if (!product.empty())
            dir.Write("sys/devices/pci0000:00/usb1/1-" + name + "/product", product + "\n");
        fs::path tty = fs::path(roots.sysfs) / "class/tty" / name;
        fs::create_directories(tty);
        fs::create_directory_symlink(usb / "1-1:1.0", tty / "device");
        if (!byId.empty()) {
            fs::create_directories(fs::path(roots.dev) / "serial/by-id");
            fs::create_symlink("../../" + name, fs::path(roots.dev) / "serial/by-id" / byId);
        }
    }
    void Pseudo(const std::string& name) {
        fs::create_directories(fs::path(roots.sysfs) / "class/tty" / name);
    }
    void Virtual(const std::string& name) {
        fs::create_directories(roots.virtualPorts);
        dir.Write("pts-" + name, "");
        fs::create_symlink(dir.File("pts-" + name), fs::path(roots.virtualPorts) / name);
    }
    void Device(const fs::path& tty, const std::string& devicePath) {
        fs::create_directories(fs::path(roots.sysfs) / devicePath);
        fs::create_directory_symlink(fs::path(roots.sysfs) / devicePath, tty / "device");
    }

    testing_support::TempDir dir;
    PortDiscoveryRoots roots;
};

std::vector<std::pair<std::string, std::string>> List(const CComPortList& list) {
    std::vector<std::pair<std::string, std::string>> out;
    for (int i = 0; i < list.GetCount(); ++i)
        out.emplace_back(list.GetPath(i), list.GetDisplayName(i));
    return out;
}

}  // namespace

TEST(PortDiscovery, NoSourcesGiveAnEmptyList) {
    FakeTree tree;
    CComPortList list(tree.roots);
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.GetPath(0), "");
    EXPECT_EQ(list.GetDisplayName(-1), "");
}

TEST(PortDiscovery, ListsRealPortsInNaturalOrderWithFriendlyNames) {
    FakeTree tree;
    for (int n = 0; n < 16; ++n)
        tree.Legacy(n, n == 1 || n == 10 ? 4 : 0);  // two UARTs, fourteen dead ports
    tree.Usb("ttyUSB0", "FT232R USB UART", "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
    tree.Usb("ttyACM0", "", "");  // found only by the tty scan
    tree.Pseudo("ptmx");
    tree.Virtual("devsim-RB16KT5_2");
    const std::string dev = tree.roots.dev;
    EXPECT_EQ(List(CComPortList(tree.roots)),
              (std::vector<std::pair<std::string, std::string>>{
                  {dev + "/ttyACM0", "ttyACM0"},
                  {dev + "/ttyS1", "ttyS1"},
                  {dev + "/ttyS10", "ttyS10"},
                  {dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0",
                   "FT232R USB UART (ttyUSB0)"},
                  {tree.roots.virtualPorts + "/devsim-RB16KT5_2",
                   "devsim-RB16KT5_2 (" + tree.dir.File("pts-devsim-RB16KT5_2") + ")"},
              }));
}

TEST(PortDiscovery, ByIdNameServesWhenThereIsNoProductAndStaleLinksAreSkipped) {
    FakeTree tree;
    tree.Usb("ttyUSB3", "", "usb-Prolific_PL2303-if00-port0");
    tree.Virtual("gone");
    fs::remove(tree.dir.File("pts-gone"));
    CComPortList list(tree.roots);
    ASSERT_EQ(list.GetCount(), 1);
    EXPECT_EQ(list.GetDisplayName(0), "usb-Prolific_PL2303-if00-port0 (ttyUSB3)");
    EXPECT_EQ(list.Find(list.GetPath(0)), 0);
    EXPECT_EQ(list.Find("/dev/none"), -1);
}

TEST(PortDiscovery, VirtualPortsFolderFollowsTheRuntimeDirectory) {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    std::string saved = old ? old : "";
    setenv("XDG_RUNTIME_DIR", "/run/user/1234", 1);
    EXPECT_EQ(VirtualPortsFolder(), "/run/user/1234/norvelco/ports");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(VirtualPortsFolder(), "/tmp/norvelco-" + std::to_string(::getuid()) + "/ports");
    if (old) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}
