// A fake sysfs and /dev tree with the kinds of ports a field laptop has, for the port list.
#pragma once

#include <filesystem>
#include <string>

#include "modbus/port_discovery.h"
#include "test_support.h"

namespace testing_support {

struct UsbIdentity {
    std::string vendorId, productId, manufacturer, product, serial;
};

class FakePortTree {
public:
    FakePortTree() {
        roots.sysfs = dir.File("sys");
        roots.dev = dir.File("dev");
        roots.virtualPorts = dir.File("virtual");
        std::filesystem::create_directories(roots.dev);
    }
    // A legacy port whose sysfs type tells whether a UART is behind it.
    void Legacy(int n, int type) {
        const std::string name = "ttyS" + std::to_string(n);
        std::filesystem::path tty = Sys("class/tty/" + name);
        std::filesystem::create_directories(tty);
        dir.Write("sys/class/tty/" + name + "/type", std::to_string(type) + "\n");
        std::filesystem::path device = Sys("devices/platform/serial8250/tty" + std::to_string(n));
        std::filesystem::create_directories(device);
        std::filesystem::create_directory_symlink(device, tty / "device");
    }
    // A USB tty in the given socket, with its identity and an optional by-id link.
    void Usb(const std::string& name, const UsbIdentity& id, const std::string& byId,
             const std::string& socket = "1") {
        const std::string usbDir = "sys/devices/pci0000:00/usb1/1-" + socket;
        std::filesystem::create_directories(dir.File(usbDir + "/1-" + socket + ":1.0"));
        const std::pair<const char*, const std::string*> files[] = {
            {"idVendor", &id.vendorId},
            {"idProduct", &id.productId},
            {"manufacturer", &id.manufacturer},
            {"product", &id.product},
            {"serial", &id.serial}};
        for (const auto& [file, value] : files)
            if (!value->empty()) dir.Write(usbDir + "/" + file, *value + "\n");
        std::filesystem::path tty = Sys("class/tty/" + name);
        std::filesystem::create_directories(tty);
        std::filesystem::create_directory_symlink(dir.File(usbDir + "/1-" + socket + ":1.0"),
                                                  tty / "device");
        if (!byId.empty()) {
            std::filesystem::create_directories(roots.dev + "/serial/by-id");
            std::filesystem::create_symlink("../../" + name, roots.dev + "/serial/by-id/" + byId);
        }
    }
    // Pulls the adapter out: its tty, USB device and by-id link go.
    void Unplug(const std::string& name, const std::string& byId, const std::string& socket = "1") {
        std::filesystem::remove_all(Sys("class/tty/" + name));
        std::filesystem::remove_all(dir.File("sys/devices/pci0000:00/usb1/1-" + socket));
        if (!byId.empty()) std::filesystem::remove(roots.dev + "/serial/by-id/" + byId);
    }
    void Pseudo(const std::string& name) {
        std::filesystem::create_directories(Sys("class/tty/" + name));
    }
    void Virtual(const std::string& name) {
        std::filesystem::create_directories(roots.virtualPorts);
        dir.Write("pts-" + name, "");
        std::filesystem::create_symlink(dir.File("pts-" + name), roots.virtualPorts + "/" + name);
    }

    TempDir dir;
    PortDiscoveryRoots roots;

private:
    std::filesystem::path Sys(const std::string& rel) const { return dir.File("sys/" + rel); }
};

}  // namespace testing_support
