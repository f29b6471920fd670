// The tty database of a live system, read through libudev: it adds what udev's rules found
// (names from the USB id database, the by-id links) to what sysfs holds.
#include <libudev.h>
#include <unistd.h>

#include "modbus/port_discovery.h"

namespace {

std::string Str(const char* s) {
    return s ? s : "";
}

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

class CUdevDatabase : public CTtyDatabase {
public:
    std::vector<TtyDevice> Ttys() const override {
        UdevPtr<udev> u(udev_new());
        if (!u) return MakeSysfsDatabase(PortDiscoveryRoots{})->Ttys();
        UdevPtr<udev_enumerate> en(udev_enumerate_new(u.get()));
        if (!en || udev_enumerate_add_match_subsystem(en.get(), "tty") < 0 ||
            udev_enumerate_scan_devices(en.get()) < 0)
            return MakeSysfsDatabase(PortDiscoveryRoots{})->Ttys();
        std::vector<TtyDevice> ttys;
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en.get())) {
            UdevPtr<udev_device> d(
                udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(entry)));
            if (d) ttys.push_back(Read(d.get()));
        }
        return ttys;
    }

private:
    static TtyDevice Read(udev_device* d) {
        TtyDevice t;
        t.name = Str(udev_device_get_sysname(d));
        t.node = Str(udev_device_get_devnode(d));
        if (t.node.empty()) t.node = "/dev/" + t.name;
        const std::string syspath = Str(udev_device_get_syspath(d));
        t.hasDevice = ::access((syspath + "/device").c_str(), F_OK) == 0;
        const std::string type = Str(udev_device_get_sysattr_value(d, "type"));
        t.hasUart = !type.empty() && type != "0";
        // The parent is owned by the child device.
        if (udev_device* usb =
                udev_device_get_parent_with_subsystem_devtype(d, "usb", "usb_device")) {
            t.vendorId = Str(udev_device_get_sysattr_value(usb, "idVendor"));
            t.productId = Str(udev_device_get_sysattr_value(usb, "idProduct"));
            t.manufacturer = Str(udev_device_get_sysattr_value(usb, "manufacturer"));
            t.product = Str(udev_device_get_sysattr_value(usb, "product"));
            t.serial = Str(udev_device_get_sysattr_value(usb, "serial"));
        }
        // Adapters that do not name themselves are named by udev's USB id database.
        auto fill = [d](std::string& field, const char* property) {
            if (field.empty()) field = Str(udev_device_get_property_value(d, property));
        };
        fill(t.vendorId, "ID_VENDOR_ID");
        fill(t.productId, "ID_MODEL_ID");
        fill(t.manufacturer, "ID_VENDOR_FROM_DATABASE");
        fill(t.product, "ID_MODEL_FROM_DATABASE");
        fill(t.serial, "ID_SERIAL_SHORT");
        udev_list_entry* link;
        udev_list_entry_foreach(link, udev_device_get_devlinks_list_entry(d))
            t.links.push_back(Str(udev_list_entry_get_name(link)));
        return t;
    }
};

}  // namespace

std::unique_ptr<CTtyDatabase> MakeUdevDatabase() {
    return std::make_unique<CUdevDatabase>();
}
