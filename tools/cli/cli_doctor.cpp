#include "tools/cli/cli_doctor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "app/private_exception.h"
#include "modbus/serial_io.h"

namespace fs = std::filesystem;

namespace cli {
namespace {

std::string Msg(std::string_view key, std::initializer_list<platform::FormatArg> args = {}) {
    return CPrivateException(CPrivateException::Key{key}, args).Message();
}

// Advice under a finding is indented, one level per line of it.
void Advice(std::ostream& out, const std::string& text, const char* indent = "  ") {
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        out << indent << text.substr(start, end - start) << '\n';
        start = end + 1;
    }
}

std::string GroupList(const std::vector<gid_t>& gids) {
    std::vector<gid_t> seen;
    std::string text;
    for (gid_t g : gids) {
        if (std::find(seen.begin(), seen.end(), g) != seen.end()) continue;
        seen.push_back(g);
        text += (text.empty() ? "" : ", ") + GroupName(g);
    }
    return text;
}

void Ports(const CComPortList& ports, const DoctorInputs& in, std::ostream& out) {
    if (ports.GetCount() == 0) {
        out << Msg("doc.noports") << '\n';
        return;
    }
    out << Msg("doc.ports", {int32_t{ports.GetCount()}}) << '\n';
    for (const ComPortEntry& e : ports.Entries()) {
        const std::string identity = PortIdentityLine(e);
        out << "  " << e.path << "  " << e.displayName << (identity.empty() ? "" : "  " + identity)
            << '\n';
        struct stat st {};
        if (::stat(e.device.c_str(), &st) != 0) {
            Advice(out, DiagnoseOpenFailure(e.device, errno, in.context), "    ");
            continue;
        }
        const std::vector<platform::FormatArg> node = {e.device, UserName(st.st_uid),
                                                       GroupName(st.st_gid), ModeText(st.st_mode)};
        if (::faccessat(AT_FDCWD, e.device.c_str(), R_OK | W_OK, AT_EACCESS) == 0) {
            out << "    " << CPrivateException(CPrivateException::Key{"doc.nodeok"}, node).Message()
                << '\n';
        } else {
            const int error = errno;
            out << "    " << CPrivateException(CPrivateException::Key{"doc.node"}, node).Message()
                << '\n';
            Advice(out, DiagnoseOpenFailure(e.device, error, in.context), "      ");
        }
    }
}

void Groups(const DiagnosisContext& c, std::ostream& out) {
    out << Msg("doc.user", {c.groups.user}) << '\n';
    out << Msg("doc.session", {GroupList(c.groups.session)}) << '\n';
    out << Msg("doc.database", {GroupList(c.groups.database)}) << '\n';
    std::vector<gid_t> missing;
    for (gid_t g : c.groups.database)
        if (std::find(c.groups.session.begin(), c.groups.session.end(), g) ==
            c.groups.session.end())
            missing.push_back(g);
    if (!missing.empty()) Advice(out, Msg("doc.relogin", {GroupList(missing)}));
}

void Holders(const CComPortList& ports, const DoctorInputs& in, std::ostream& out) {
    bool any = false, incomplete = false;
    for (const ComPortEntry& e : ports.Entries()) {
        bool partial = false;
        for (const PortHolder& h : FindPortHolders(e.device, in.context.proc, &partial)) {
            any = true;
            out << Msg("doc.holder", {e.path, h.command, std::to_string(h.pid)}) << '\n';
        }
        incomplete = incomplete || partial;
    }
    if (!any) out << Msg("doc.noholders") << '\n';
    if (incomplete) Advice(out, Msg("doc.incomplete"));
}

void Services(const DoctorInputs& in, std::ostream& out) {
    if (!in.context.sandbox.empty()) out << Msg("doc.sandbox", {in.context.sandbox}) << '\n';
    for (const PortHolder& p : FindProcesses("ModemManager", in.context.proc)) {
        out << Msg("doc.mm", {std::to_string(p.pid)}) << '\n';
        Advice(out, Msg("serio.modemmanager"));
        break;
    }
    if (in.context.brltty) {
        out << Msg("doc.brltty") << '\n';
        Advice(out, Msg("serio.brltty"));
    }
}

void VirtualFolder(const DoctorInputs& in, std::ostream& out) {
    const std::string folder =
        in.roots.virtualPorts.empty() ? VirtualPortsFolder() : in.roots.virtualPorts;
    if (in.roots.virtualPorts.empty() && !VirtualPortsFolderIsPrivate(folder)) {
        const std::string base = fs::path(folder).parent_path().string();
        std::error_code ec;
        if (fs::exists(fs::symlink_status(base, ec)))
            out << Msg("doc.vunsafe", {base}) << '\n';
        else
            out << Msg("doc.vmissing", {folder}) << '\n';
        return;
    }
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        out << Msg("doc.vmissing", {folder}) << '\n';
        return;
    }
    out << Msg("doc.vfolder", {folder}) << '\n';
    std::vector<fs::path> links;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (fs::is_symlink(e.symlink_status(ec))) links.push_back(e.path());
    std::sort(links.begin(), links.end());
    for (const fs::path& link : links) {
        const std::string target = fs::read_symlink(link, ec).string();
        out << "  "
            << Msg(fs::exists(link, ec) ? "doc.vlink" : "doc.vstale",
                   {link.filename().string(), target})
            << '\n';
    }
}

}  // namespace

int RunDoctor(const ComSettings& settings, std::ostream& out, const DoctorInputs& in) {
    const CComPortList ports = in.roots.IsLive()
                                   ? CComPortList(in.roots)
                                   : CComPortList(in.roots, *MakeSysfsDatabase(in.roots));
    Ports(ports, in, out);
    Groups(in.context, out);
    Holders(ports, in, out);
    Services(in, out);
    VirtualFolder(in, out);
    if (settings.COMPortName.empty()) {
        out << Msg("doc.noport") << '\n';
        return 1;
    }
    try {
        CSerialIO port;
        port.Open(settings);
    } catch (const CPrivateException& e) {
        out << e.Message() << '\n';
        return 1;
    }
    out << Msg("doc.openok", {settings.COMPortName}) << '\n';
    return 0;
}

}  // namespace cli
