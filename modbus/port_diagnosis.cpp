#include "modbus/port_diagnosis.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/private_exception.h"

namespace fs = std::filesystem;

namespace {

std::string Text(std::string_view key, std::initializer_list<platform::FormatArg> args = {}) {
    return CPrivateException(CPrivateException::Key{key}, args).Message();
}

bool Contains(const std::vector<gid_t>& list, gid_t gid) {
    return std::find(list.begin(), list.end(), gid) != list.end();
}

std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

bool IsNumber(const std::string& s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Permission(const std::string& path, const DiagnosisContext& c) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Text("serio.permission");
    const std::string group = GroupName(st.st_gid);
    const bool groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (!groupMayUse || Contains(c.groups.session, st.st_gid))
        return Text("serio.mode",
                    {path, UserName(st.st_uid), group, ModeText(st.st_mode), c.groups.user});
    if (Contains(c.groups.database, st.st_gid)) return Text("serio.relogin", {path, group});
    return Text("serio.group", {path, group, c.groups.user});
}

// Appended in two steps: GCC 12 warns of a false overlap in text += "\n" + more.
void AddLine(std::string& text, const std::string& line) {
    text += '\n';
    text += line;
}

std::string Busy(const std::string& path, const DiagnosisContext& c) {
    const std::vector<PortHolder> holders = FindPortHolders(path, c.proc);
    if (holders.empty()) return Text("serio.busy");
    const PortHolder& h = holders.front();
    std::string text = Text("serio.heldby", {path, h.command, std::to_string(h.pid)});
    if (h.command == "ModemManager") AddLine(text, Text("serio.modemmanager"));
    if (h.command.starts_with("brltty")) AddLine(text, Text("serio.brltty"));
    return text;
}

}  // namespace

UserGroups UserGroups::Current() {
    UserGroups g;
    g.user = UserName(::getuid());
    const int n = ::getgroups(0, nullptr);
    if (n > 0) {
        g.session.resize(static_cast<size_t>(n));
        g.session.resize(static_cast<size_t>(std::max(0, ::getgroups(n, g.session.data()))));
    }
    g.session.push_back(::getegid());
    if (const passwd* pw = ::getpwuid(::getuid())) {
        int count = 64;
        std::vector<gid_t> list(static_cast<size_t>(count));
        if (::getgrouplist(pw->pw_name, pw->pw_gid, list.data(), &count) < 0) {
            list.resize(static_cast<size_t>(count));
            ::getgrouplist(pw->pw_name, pw->pw_gid, list.data(), &count);
        }
        list.resize(static_cast<size_t>(std::max(0, count)));
        g.database = std::move(list);
    }
    return g;
}

DiagnosisContext DiagnosisContext::Live() {
    DiagnosisContext c;
    c.groups = UserGroups::Current();
    std::error_code ec;
    if (fs::exists("/.flatpak-info", ec))
        c.sandbox = "Flatpak";
    else if (const char* snap = std::getenv("SNAP_NAME"); snap && *snap)
        c.sandbox = "Snap";
    for (const char* p : {"/usr/bin/brltty", "/bin/brltty", "/usr/sbin/brltty"})
        c.brltty = c.brltty || fs::exists(p, ec);
    return c;
}

std::vector<PortHolder> FindPortHolders(const std::string& path, const std::string& proc,
                                        bool* incomplete) {
    std::vector<PortHolder> holders;
    if (incomplete) *incomplete = false;
    std::error_code ec;
    const fs::path device = fs::canonical(path, ec);
    if (ec) return holders;
    const std::string self = std::to_string(::getpid());
    for (const auto& p : fs::directory_iterator(proc, ec)) {
        const std::string pid = p.path().filename().string();
        if (!IsNumber(pid) || pid == self) continue;
        std::error_code ec2;
        fs::directory_iterator fds(p.path() / "fd", ec2);
        if (ec2) {
            if (incomplete && ec2 == std::errc::permission_denied) *incomplete = true;
            continue;
        }
        for (const auto& fd : fds) {
            std::error_code ec3;
            if (fs::read_symlink(fd.path(), ec3) != device) continue;
            holders.push_back({std::atoi(pid.c_str()), ReadLine(p.path() / "comm")});
            break;
        }
    }
    std::sort(holders.begin(), holders.end(),
              [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
    return holders;
}

std::vector<PortHolder> FindProcesses(const std::string& command, const std::string& proc) {
    std::vector<PortHolder> found;
    std::error_code ec;
    for (const auto& p : fs::directory_iterator(proc, ec)) {
        const std::string pid = p.path().filename().string();
        if (IsNumber(pid) && ReadLine(p.path() / "comm") == command)
            found.push_back({std::atoi(pid.c_str()), command});
    }
    return found;
}

std::string DiagnoseOpenFailure(const std::string& path, int error, const DiagnosisContext& c) {
    const bool denied = error == EACCES || error == EPERM;
    const bool gone = error == ENOENT || error == ENODEV || error == ENXIO;
    if (!c.sandbox.empty() && (denied || gone)) return Text("serio.sandbox", {path, c.sandbox});
    if (denied) return Permission(path, c);
    if (error == EBUSY || error == EWOULDBLOCK) return Busy(path, c);
    if (gone) {
        std::string text = Text("serio.gone", {path});
        // brltty claims some adapters the moment they are plugged in, and their tty vanishes.
        if (c.brltty && path.find("USB") != std::string::npos) AddLine(text, Text("serio.brltty"));
        return text;
    }
    if (error == ENOTTY || error == ENOTDIR || error == EISDIR)
        return Text("serio.notserial", {path});
    return CMessageFormatter(error).Text();
}

std::string DiagnoseOpenFailure(const std::string& path, int error) {
    return DiagnoseOpenFailure(path, error, DiagnosisContext::Live());
}

std::string GroupName(gid_t gid) {
    if (const group* g = ::getgrgid(gid)) return g->gr_name;
    return std::to_string(gid);
}

std::string UserName(uid_t uid) {
    if (const passwd* pw = ::getpwuid(uid)) return pw->pw_name;
    return std::to_string(uid);
}

std::string ModeText(mode_t mode) {
    std::string text = "---------";
    const char* letters = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        if (mode & (1u << (8 - i))) text[static_cast<size_t>(i)] = letters[i];
    return text;
}
