// Tells when the port list may have changed: udev's events for ttys (adapters plugged in or
// pulled out) and links coming and going in the virtual ports folder.
#pragma once

#include <chrono>
#include <string>
#include <vector>

struct udev;
struct udev_monitor;

class CPortMonitor {
public:
    // Watches the virtual ports folder (VirtualPortsFolder() when empty) and, with devices,
    // udev's tty events. A source that cannot be watched is left out.
    explicit CPortMonitor(std::string virtualFolder = {}, bool devices = true);
    ~CPortMonitor();
    CPortMonitor(const CPortMonitor&) = delete;
    CPortMonitor& operator=(const CPortMonitor&) = delete;

    // The descriptors to wait on for input; an event loop calls Drain when one is readable.
    std::vector<int> Descriptors() const;
    // Reads the pending events; true when the list may have changed.
    bool Drain();
    // Waits up to the time-out for events and drains them; true when the list may have changed.
    bool Wait(std::chrono::milliseconds timeout);

private:
    void Arm();

    std::string m_folder;
    int m_inotify = -1;
    int m_folderWatch = -1;
    int m_ptsWatch = -1;
    std::string m_watchedFolder;
    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
};
