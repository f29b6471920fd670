// The serial ports of the machine, each with the device path the serial layer opens and a name
// to show, in a stable natural order.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct ComPortEntry {
    std::string path;  // what the serial layer opens: the by-id link of a USB adapter
    std::string displayName;
    // What is known of the port; empty where the device database does not say.
    std::string device;  // the kernel's node (/dev/ttyUSB0), or the pty behind a virtual port
    std::string byId;    // the /dev/serial/by-id link
    std::string vendorId, productId;  // four hex digits each
    std::string manufacturer, product, serial;
    bool isVirtual = false;
};

// What the device database knows of one kernel tty.
struct TtyDevice {
    std::string name;        // ttyUSB0
    std::string node;        // /dev/ttyUSB0
    bool hasDevice = false;  // tied to hardware: not a console, virtual terminal or pty
    bool hasUart = false;    // for a legacy ttyS port: the kernel found a UART behind it
    std::string vendorId, productId, manufacturer, product, serial;
    std::vector<std::string> links;  // symbolic links udev made for it
};

// The seam between the port list and the machine: udev on a live system, a sysfs walk on the
// fake trees of the tests.
class CTtyDatabase {
public:
    virtual ~CTtyDatabase() = default;
    // Every tty; a database that cannot be read gives none.
    virtual std::vector<TtyDevice> Ttys() const = 0;
};

// Where discovery looks; tests point the roots at a fake tree.
struct PortDiscoveryRoots {
    std::string sysfs = "/sys";
    std::string dev = "/dev";
    std::string virtualPorts;  // empty: VirtualPortsFolder()

    // The real machine's roots are read through udev, where it knows more than sysfs.
    bool IsLive() const { return sysfs == "/sys" && dev == "/dev"; }
};

std::unique_ptr<CTtyDatabase> MakeUdevDatabase();
std::unique_ptr<CTtyDatabase> MakeSysfsDatabase(const PortDiscoveryRoots& roots);

// The per-user folder of virtual ports: symbolic links to pseudo-terminals, such as those of the
// device simulator. $XDG_RUNTIME_DIR/norvelco/ports, else /tmp/norvelco-UID/ports.
std::string VirtualPortsFolder();
// Whether the folder under the shared /tmp that holds the virtual ports folder is a real
// directory of this user that nobody else may write to; always true under $XDG_RUNTIME_DIR.
bool VirtualPortsFolderIsPrivate(const std::string& folder);
// A directory of this user, not a link, that nobody else may write to or read.
bool IsPrivateFolder(const std::string& path);

class CComPortList {
public:
    CComPortList() : CComPortList(PortDiscoveryRoots{}) {}
    explicit CComPortList(const PortDiscoveryRoots& roots);
    CComPortList(const PortDiscoveryRoots& roots, const CTtyDatabase& database);

    int GetCount() const { return static_cast<int>(m_entries.size()); }
    std::string GetDisplayName(int position) const;
    std::string GetPath(int position) const;
    // Position of the entry with that path, or -1.
    int Find(const std::string& path) const;
    // Position of the entry with that display name (the last one when several have it), or -1.
    int FindDisplayName(const std::string& name) const;
    const std::vector<ComPortEntry>& Entries() const { return m_entries; }

private:
    std::vector<ComPortEntry> m_entries;
};

// The details of a port for a tool tip or a listing, one line per item known, from the
// language file; empty for a port of which nothing more than its name is known.
std::string PortDetailsText(const ComPortEntry& entry);
// The USB identity in one line ("0403:6001 FTDI FT232R USB UART, serial A1B2C3"); empty when
// the port is no USB adapter.
std::string PortIdentityLine(const ComPortEntry& entry);
