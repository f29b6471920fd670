// The serial ports of the machine, each with the device path the serial layer opens and a name
// to show, in a stable natural order.
#pragma once

#include <string>
#include <vector>

struct ComPortEntry {
    std::string path;
    std::string displayName;
};

// Where discovery looks; tests point the roots at a fake tree.
struct PortDiscoveryRoots {
    std::string sysfs = "/sys";
    std::string dev = "/dev";
    std::string virtualPorts;  // empty: VirtualPortsFolder()
};

// The per-user folder of virtual ports: symbolic links to pseudo-terminals, such as those of the
// device simulator. $XDG_RUNTIME_DIR/norvelco/ports, else /tmp/norvelco-UID/ports.
std::string VirtualPortsFolder();

class CComPortList {
public:
    CComPortList() : CComPortList(PortDiscoveryRoots{}) {}
    explicit CComPortList(const PortDiscoveryRoots& roots);

    int GetCount() const { return static_cast<int>(m_entries.size()); }
    std::string GetDisplayName(int position) const;
    std::string GetPath(int position) const;
    // Position of the entry with that path, or -1.
    int Find(const std::string& path) const;
    const std::vector<ComPortEntry>& Entries() const { return m_entries; }

private:
    std::vector<ComPortEntry> m_entries;
};
