// The simulator program as a child process: started with options, its port read from its first
// line, stopped (and reaped) when the object goes.
#pragma once

#include <string>
#include <vector>

#include "child_process.h"

namespace testing_support {

class SimProcess {
public:
    // runtimeDir becomes the child's XDG_RUNTIME_DIR, so its port link stays out of the user's.
    SimProcess(const std::vector<std::string>& args, const std::string& runtimeDir)
        : m_child(ChildProcess::Program("norvelco-devsim"), args,
                  {"XDG_RUNTIME_DIR=" + runtimeDir}) {
        const std::string line = m_child.ReadLine(5000);
        if (line.rfind("PORT ", 0) == 0) m_port = line.substr(5, line.size() - 6);
    }

    // The pseudo-terminal path the device answers on; empty when it did not start.
    const std::string& Port() const { return m_port; }
    pid_t Pid() const { return m_child.Pid(); }
    // Ends the child with SIGTERM; its exit status (-1 when it had to be killed).
    int Stop() { return m_child.Stop(); }

private:
    ChildProcess m_child;
    std::string m_port;
};

}  // namespace testing_support
