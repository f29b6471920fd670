// The simulator's end of a virtual serial line: a pseudo-terminal in raw mode, and a symbolic link
// to its slave side in the per-user folder where the Configurator looks for virtual ports.
#pragma once

#include <string>

namespace devsim {

// The virtual ports folder of the port list (norvelco/ports under $XDG_RUNTIME_DIR, else ports
// under the private folder /tmp/norvelco-UID), created
// with mode 0700 where missing. Throws CPrivateException when the folder cannot be made, or when
// the private folder is not a directory of this user closed to others.
std::string EnsureVirtualPortsFolder();

class CPseudoTerminal {
public:
    // Opens a new pseudo-terminal in raw mode; throws CPrivateException on failure.
    CPseudoTerminal();
    ~CPseudoTerminal();
    CPseudoTerminal(const CPseudoTerminal&) = delete;
    CPseudoTerminal& operator=(const CPseudoTerminal&) = delete;

    int MasterFd() const { return m_master; }
    const std::string& SlavePath() const { return m_slavePath; }
    // Throws away what was sent to the slave side and never read there.
    void DiscardUnread();

private:
    int m_master = -1;
    int m_slave = -1;  // kept open so that the master never sees a hang-up between clients
    std::string m_slavePath;
};

class CPortLink {
public:
    // A link at path to target. An existing symbolic link is replaced; any other file is kept and
    // CPrivateException is thrown.
    CPortLink(std::string path, std::string target);
    // Removes the link unless something else has taken its place meanwhile.
    ~CPortLink();
    CPortLink(const CPortLink&) = delete;
    CPortLink& operator=(const CPortLink&) = delete;

    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    std::string m_target;
};

}  // namespace devsim
