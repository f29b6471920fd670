#include "tools/devsim/virtual_port.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "app/private_exception.h"
#include "modbus/port_discovery.h"
#include "platform/text.h"

namespace devsim {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what, int error) {
    throw CPrivateException(what + ": " + CMessageFormatter(error).Text());
}

// Creates each missing folder of the path below base with mode 0700.
void MakeFolders(const std::string& base, const std::vector<std::string>& parts) {
    std::string path = base;
    for (const std::string& part : parts) {
        path += "/" + part;
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) ThrowErrno(path, errno);
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) ThrowErrno(path, errno);
        if (!S_ISDIR(st.st_mode)) ThrowErrno(path, ENOTDIR);
    }
}

}  // namespace

std::string EnsureVirtualPortsFolder() {
    // The folder the port list reads; created here, private to this user.
    const std::string folder = ::VirtualPortsFolder();
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        MakeFolders(runtime, {"norvelco", "ports"});
        return folder;
    }
    // /tmp is shared: the folder must be ours, a real directory, and closed to others.
    const std::string base = folder.substr(0, folder.rfind('/'));
    if (mkdir(base.c_str(), 0700) != 0 && errno != EEXIST) ThrowErrno(base, errno);
    struct stat st {};
    if (lstat(base.c_str(), &st) != 0) ThrowErrno(base, errno);
    // The same check the port list makes before it trusts the links in there.
    if (!::IsPrivateFolder(base))
        throw CPrivateException(base + ": not a private folder of this user");
    MakeFolders(base, {"ports"});
    return folder;
}

CPseudoTerminal::CPseudoTerminal() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) ThrowErrno("posix_openpt", errno);
    char name[128];
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0 ||
        ptsname_r(m_master, name, sizeof name) != 0) {
        const int e = errno;
        close(m_master);
        ThrowErrno("pseudo-terminal", e);
    }
    m_slavePath = name;
    m_slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (m_slave < 0 || tcgetattr(m_slave, &tio) != 0) {
        const int e = errno;
        if (m_slave >= 0) close(m_slave);
        close(m_master);
        ThrowErrno(m_slavePath, e);
    }
    // Raw: no echo of the requests back to us, no line editing, no character translation.
    cfmakeraw(&tio);
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    tcsetattr(m_slave, TCSANOW, &tio);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

CPseudoTerminal::~CPseudoTerminal() {
    if (m_slave >= 0) close(m_slave);
    if (m_master >= 0) close(m_master);
}

void CPseudoTerminal::DiscardUnread() {
    tcflush(m_slave, TCIFLUSH);
}

CPortLink::CPortLink(std::string path, std::string target)
    : m_path(std::move(path)), m_target(std::move(target)) {
    if (symlink(m_target.c_str(), m_path.c_str()) == 0) return;
    if (errno != EEXIST) ThrowErrno(m_path, errno);
    struct stat st {};
    if (lstat(m_path.c_str(), &st) != 0) ThrowErrno(m_path, errno);
    if (!S_ISLNK(st.st_mode))
        throw CPrivateException(m_path + ": exists and is not a symbolic link");
    // Replace the old link in one step, so that the name never points nowhere.
    const std::string temp = m_path + platform::FormatC(".%d.tmp", static_cast<int>(getpid()));
    unlink(temp.c_str());
    if (symlink(m_target.c_str(), temp.c_str()) != 0) ThrowErrno(temp, errno);
    if (rename(temp.c_str(), m_path.c_str()) != 0) {
        const int e = errno;
        unlink(temp.c_str());
        ThrowErrno(m_path, e);
    }
}

CPortLink::~CPortLink() {
    std::vector<char> buffer(m_target.size() + 2);
    const ssize_t n = readlink(m_path.c_str(), buffer.data(), buffer.size());
    if (n >= 0 && std::string(buffer.data(), static_cast<size_t>(n)) == m_target)
        unlink(m_path.c_str());
}

}  // namespace devsim
