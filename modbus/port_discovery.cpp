#include "modbus/port_discovery.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace {

// Hardware ports sort before virtual ones; within a kind, names sort naturally (ttyS2 < ttyS10).
struct PortKey {
    int kind;  // 0 hardware, 1 virtual
    std::string name;

    bool operator<(const PortKey& o) const {
        if (kind != o.kind) return kind < o.kind;
        return NaturalLess(name, o.name);
    }

    static bool NaturalLess(const std::string& a, const std::string& b) {
        size_t i = 0, j = 0;
        while (i < a.size() && j < b.size()) {
            if (std::isdigit(static_cast<unsigned char>(a[i])) &&
                std::isdigit(static_cast<unsigned char>(b[j]))) {
                size_t ei = i, ej = j;
                while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
                while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
                unsigned long long x = std::strtoull(a.substr(i, ei - i).c_str(), nullptr, 10);
                unsigned long long y = std::strtoull(b.substr(j, ej - j).c_str(), nullptr, 10);
                if (x != y) return x < y;
                i = ei;
                j = ej;
            } else {
                if (a[i] != b[j]) return a[i] < b[j];
                ++i;
                ++j;
            }
        }
        return a.size() - i < b.size() - j;
    }
};

using PortMap = std::map<PortKey, ComPortEntry>;

std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    return line;
}

// A legacy 8250 port is real only when the kernel found a UART behind it.
bool HasUart(const fs::path& ttyDir) {
    std::string type = ReadLine(ttyDir / "type");
    return !type.empty() && type != "0";
}

bool IsLegacy(const std::string& name) {
    return name.starts_with("ttyS");
}

// Source 1: the legacy ports ttyS0..ttyS15 that have a UART.
void AddDefaults(const PortDiscoveryRoots& r, PortMap& ports) {
    for (int n = 0; n < 16; ++n) {
        std::string name = "ttyS" + std::to_string(n);
        if (HasUart(fs::path(r.sysfs) / "class/tty" / name))
            ports[{0, name}] = {r.dev + "/" + name, name};
    }
}

// Source 2: every tty the kernel ties to a device (USB adapters, CDC modems, on-board UARTs).
void AddKernelTtys(const PortDiscoveryRoots& r, PortMap& ports) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(r.sysfs) / "class/tty", ec)) {
        const std::string name = e.path().filename().string();
        if (!fs::exists(e.path() / "device", ec)) continue;  // consoles and pseudo-terminals
        if (IsLegacy(name) && !HasUart(e.path())) continue;
        ports[{0, name}] = {r.dev + "/" + name, name};
    }
}

// The USB product name above a tty's device, if any.
std::string UsbProduct(const fs::path& ttyDir) {
    std::error_code ec;
    fs::path dev = fs::canonical(ttyDir / "device", ec);
    for (int up = 0; !ec && up < 4 && !dev.empty() && dev != dev.root_path();
         ++up, dev = dev.parent_path()) {
        std::string product = ReadLine(dev / "product");
        if (!product.empty()) return product;
    }
    return {};
}

// Source 3: friendly names, from the USB product and the stable by-id link of each port.
void AddFriendlyNames(const PortDiscoveryRoots& r, PortMap& ports) {
    std::map<std::string, fs::path> byId;  // kernel name -> by-id link
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(r.dev) / "serial/by-id", ec)) {
        std::error_code ec2;
        fs::path target = fs::read_symlink(e.path(), ec2);
        if (!ec2) byId[target.filename().string()] = e.path();
    }
    for (auto& [key, entry] : ports) {
        if (key.kind != 0) continue;
        std::string product = UsbProduct(fs::path(r.sysfs) / "class/tty" / key.name);
        auto link = byId.find(key.name);
        if (product.empty() && link == byId.end()) continue;
        std::string label = !product.empty() ? product : link->second.filename().string();
        // The by-id path survives re-plugging, so a saved choice still finds the adapter.
        entry = {link != byId.end() ? link->second.string() : entry.path,
                 label + " (" + key.name + ")"};
    }
}

// Source 4: the virtual ports folder; links whose pseudo-terminal is gone are skipped.
void AddVirtualPorts(const PortDiscoveryRoots& r, PortMap& ports) {
    const std::string folder = r.virtualPorts.empty() ? VirtualPortsFolder() : r.virtualPorts;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        std::error_code ec2;
        if (!fs::is_symlink(e.symlink_status(ec2)) || !fs::exists(e.path(), ec2)) continue;
        std::string name = e.path().filename().string();
        ports[{1, name}] = {e.path().string(),
                            name + " (" + fs::read_symlink(e.path(), ec2).string() + ")"};
    }
}

}  // namespace

std::string VirtualPortsFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return std::string(runtime) + "/norvelco/ports";
    return "/tmp/norvelco-" + std::to_string(::getuid()) + "/ports";
}

CComPortList::CComPortList(const PortDiscoveryRoots& roots) {
    PortMap ports;
    // A failing source adds nothing; sources never throw.
    for (auto source : {AddDefaults, AddKernelTtys, AddFriendlyNames, AddVirtualPorts}) {
        try {
            source(roots, ports);
        } catch (...) {
        }
    }
    for (auto& [key, entry] : ports) m_entries.push_back(entry);
}

std::string CComPortList::GetDisplayName(int position) const {
    return position >= 0 && position < GetCount()
               ? m_entries[static_cast<size_t>(position)].displayName
               : "";
}

std::string CComPortList::GetPath(int position) const {
    return position >= 0 && position < GetCount() ? m_entries[static_cast<size_t>(position)].path
                                                  : "";
}

int CComPortList::Find(const std::string& path) const {
    for (int i = 0; i < GetCount(); ++i)
        if (m_entries[static_cast<size_t>(i)].path == path) return i;
    return -1;
}
