#include "modbus/port_discovery.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "app/private_exception.h"

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

bool IsLegacy(const std::string& name) {
    return name.starts_with("ttyS");
}

// The sysfs walk: what a fake tree can hold, and what udev would read itself.
class CSysfsDatabase : public CTtyDatabase {
public:
    explicit CSysfsDatabase(PortDiscoveryRoots roots) : m_roots(std::move(roots)) {}

    std::vector<TtyDevice> Ttys() const override {
        std::vector<TtyDevice> ttys;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(fs::path(m_roots.sysfs) / "class/tty", ec)) {
            TtyDevice t;
            t.name = e.path().filename().string();
            t.node = m_roots.dev + "/" + t.name;
            std::error_code ec2;
            t.hasDevice = fs::exists(e.path() / "device", ec2);
            const std::string type = ReadLine(e.path() / "type");
            t.hasUart = !type.empty() && type != "0";
            if (t.hasDevice) ReadUsb(e.path(), t);
            ttys.push_back(std::move(t));
        }
        return ttys;
    }

private:
    // The USB device above a tty's interface holds the identity.
    static void ReadUsb(const fs::path& ttyDir, TtyDevice& t) {
        std::error_code ec;
        fs::path dev = fs::canonical(ttyDir / "device", ec);
        for (int up = 0; !ec && up < 4 && !dev.empty() && dev != dev.root_path();
             ++up, dev = dev.parent_path()) {
            if (!fs::exists(dev / "idVendor", ec) && !fs::exists(dev / "product", ec)) continue;
            t.vendorId = ReadLine(dev / "idVendor");
            t.productId = ReadLine(dev / "idProduct");
            t.manufacturer = ReadLine(dev / "manufacturer");
            t.product = ReadLine(dev / "product");
            t.serial = ReadLine(dev / "serial");
            return;
        }
    }

    PortDiscoveryRoots m_roots;
};

// The by-id links of a /dev tree, by the kernel name they point to.
std::map<std::string, std::string> ByIdLinks(const std::string& dev) {
    std::map<std::string, std::string> byId;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(dev) / "serial/by-id", ec)) {
        std::error_code ec2;
        fs::path target = fs::read_symlink(e.path(), ec2);
        if (!ec2) byId[target.filename().string()] = e.path().string();
    }
    return byId;
}

// The kernel's ttys that are ports: those tied to a device (USB adapters, CDC modems, on-board
// UARTs), but legacy ttyS ports only where a UART answers.
void AddKernelTtys(const PortDiscoveryRoots& r, const CTtyDatabase& db, PortMap& ports) {
    const std::string byIdFolder = r.dev + "/serial/by-id/";
    std::map<std::string, std::string> byId;
    bool byIdRead = false;
    for (const TtyDevice& t : db.Ttys()) {
        if (!t.hasDevice || (IsLegacy(t.name) && !t.hasUart)) continue;
        ComPortEntry e;
        e.device = t.node.empty() ? r.dev + "/" + t.name : t.node;
        e.vendorId = t.vendorId;
        e.productId = t.productId;
        e.manufacturer = t.manufacturer;
        e.product = t.product;
        e.serial = t.serial;
        for (const std::string& link : t.links)
            if (e.byId.empty() && link.starts_with(byIdFolder)) e.byId = link;
        if (e.byId.empty()) {
            // Without udev's database the links still stand in /dev.
            if (!byIdRead) byId = ByIdLinks(r.dev);
            byIdRead = true;
            if (auto it = byId.find(t.name); it != byId.end()) e.byId = it->second;
        }
        // The by-id path survives re-plugging, so a saved choice still finds the adapter.
        e.path = e.byId.empty() ? e.device : e.byId;
        const std::string label =
            !e.product.empty() ? e.product : fs::path(e.byId).filename().string();
        e.displayName = label.empty() ? t.name : label + " (" + t.name + ")";
        ports[{0, t.name}] = std::move(e);
    }
}

// The virtual ports folder; links whose pseudo-terminal is gone are skipped.
void AddVirtualPorts(const PortDiscoveryRoots& r, PortMap& ports) {
    const std::string folder = r.virtualPorts.empty() ? VirtualPortsFolder() : r.virtualPorts;
    // In the shared /tmp another user could have made the folder and planted links in it.
    if (r.virtualPorts.empty() && !VirtualPortsFolderIsPrivate(folder)) return;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        std::error_code ec2;
        if (!fs::is_symlink(e.symlink_status(ec2)) || !fs::exists(e.path(), ec2)) continue;
        const std::string name = e.path().filename().string();
        ComPortEntry entry;
        entry.path = e.path().string();
        entry.device = fs::read_symlink(e.path(), ec2).string();
        entry.displayName = name + " (" + entry.device + ")";
        entry.isVirtual = true;
        ports[{1, name}] = std::move(entry);
    }
}

std::string Text(std::string_view key, std::initializer_list<platform::FormatArg> args) {
    return CPrivateException(CPrivateException::Key{key}, args).Message();
}

}  // namespace

std::unique_ptr<CTtyDatabase> MakeSysfsDatabase(const PortDiscoveryRoots& roots) {
    return std::make_unique<CSysfsDatabase>(roots);
}

std::string VirtualPortsFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return std::string(runtime) + "/norvelco/ports";
    return "/tmp/norvelco-" + std::to_string(::getuid()) + "/ports";
}

bool IsPrivateFolder(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & 077) == 0;
}

bool VirtualPortsFolderIsPrivate(const std::string& folder) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return true;  // the runtime directory is the user's own
    return IsPrivateFolder(fs::path(folder).parent_path().string());
}

CComPortList::CComPortList(const PortDiscoveryRoots& roots)
    : CComPortList(roots, *(roots.IsLive() ? MakeUdevDatabase() : MakeSysfsDatabase(roots))) {}

CComPortList::CComPortList(const PortDiscoveryRoots& roots, const CTtyDatabase& database) {
    PortMap ports;
    // A failing source adds nothing; sources never throw.
    try {
        AddKernelTtys(roots, database, ports);
    } catch (...) {
    }
    try {
        AddVirtualPorts(roots, ports);
    } catch (...) {
    }
    for (auto& [key, entry] : ports) m_entries.push_back(std::move(entry));
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

int CComPortList::FindDisplayName(const std::string& name) const {
    int found = -1;
    for (int i = 0; i < GetCount(); ++i)
        if (m_entries[static_cast<size_t>(i)].displayName == name) found = i;
    return found;
}

std::string PortIdentityLine(const ComPortEntry& e) {
    if (e.vendorId.empty() && e.product.empty()) return "";
    std::string line = e.vendorId.empty() ? "" : e.vendorId + ":" + e.productId;
    for (const std::string* part : {&e.manufacturer, &e.product})
        if (!part->empty()) line += (line.empty() ? "" : " ") + *part;
    if (!e.serial.empty()) line += ", " + Text("port.serialno", {e.serial});
    return line;
}

std::string PortDetailsText(const ComPortEntry& e) {
    std::string text;
    auto add = [&](std::string_view key, const std::string& value) {
        if (value.empty()) return;
        if (!text.empty()) text += '\n';
        text += Text(key, {value});
    };
    add("port.manufacturer", e.manufacturer);
    add("port.product", e.product);
    add("port.usbid", e.vendorId.empty() ? "" : e.vendorId + ":" + e.productId);
    add("port.serial", e.serial);
    add("port.byid", e.byId);
    add("port.device", e.device);
    return text;
}
