#include "modbus/port_monitor.h"

#include <libudev.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "modbus/port_discovery.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kFolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

}  // namespace

CPortMonitor::CPortMonitor(std::string virtualFolder, bool devices)
    : m_folder(virtualFolder.empty() ? VirtualPortsFolder() : std::move(virtualFolder)) {
    m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    Arm();
    if (!devices) return;
    m_udev = udev_new();
    if (!m_udev) return;
    // Without a running udev daemon only the kernel's own events come.
    const char* source = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
    m_monitor = udev_monitor_new_from_netlink(m_udev, source);
    if (!m_monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(m_monitor) < 0) {
        if (m_monitor) udev_monitor_unref(m_monitor);
        m_monitor = nullptr;
    }
}

CPortMonitor::~CPortMonitor() {
    if (m_monitor) udev_monitor_unref(m_monitor);
    if (m_udev) udev_unref(m_udev);
    if (m_inotify >= 0) ::close(m_inotify);
}

// Watches the folder, or while it is missing the nearest folder above it, so that its creation
// is seen too; and the pseudo-terminals, which vanish when a simulator is killed outright.
void CPortMonitor::Arm() {
    if (m_inotify < 0) return;
    std::error_code ec;
    fs::path watched = m_folder;
    while (!watched.empty() && !fs::is_directory(watched, ec) && watched != watched.root_path())
        watched = watched.parent_path();
    if (watched == m_watchedFolder && m_folderWatch >= 0) return;
    // Removing a watch queues an IN_IGNORED event, which Drain passes over.
    if (m_folderWatch >= 0) ::inotify_rm_watch(m_inotify, m_folderWatch);
    m_folderWatch = ::inotify_add_watch(m_inotify, watched.c_str(), kFolderEvents | IN_ONLYDIR);
    m_watchedFolder = watched;
    if (m_ptsWatch < 0)
        m_ptsWatch = ::inotify_add_watch(m_inotify, "/dev/pts", IN_DELETE | IN_ONLYDIR);
}

std::vector<int> CPortMonitor::Descriptors() const {
    std::vector<int> fds;
    if (m_inotify >= 0) fds.push_back(m_inotify);
    if (m_monitor) fds.push_back(udev_monitor_get_fd(m_monitor));
    return fds;
}

bool CPortMonitor::Drain() {
    bool changed = false;
    if (m_inotify >= 0) {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(m_inotify, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buffer + at);
                if (!(ev->mask & IN_IGNORED)) changed = true;
                if (ev->mask & IN_IGNORED && ev->wd == m_folderWatch) m_folderWatch = -1;
                at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
        if (changed || m_folderWatch < 0) Arm();  // the folder may have come or gone
    }
    if (m_monitor) {
        while (udev_device* d = udev_monitor_receive_device(m_monitor)) {
            const char* action = udev_device_get_action(d);
            const std::string a = action ? action : "";
            if (a == "add" || a == "remove" || a == "change" || a == "move") changed = true;
            udev_device_unref(d);
        }
    }
    return changed;
}

bool CPortMonitor::Wait(std::chrono::milliseconds timeout) {
    std::vector<pollfd> fds;
    for (int fd : Descriptors()) fds.push_back({fd, POLLIN, 0});
    if (fds.empty()) {
        ::usleep(static_cast<useconds_t>(timeout.count()) * 1000);
        return false;
    }
    const int r = ::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
    return r > 0 && Drain();
}
