// Why a serial port cannot be opened, in the user's words and with the one thing that fixes it:
// the port's group, a session older than the group membership, another program holding the
// port, a port that is gone or is no serial device, a sandbox without device access.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The user's groups: those of this session (the process) and those of the group database.
struct UserGroups {
    std::string user;
    std::vector<gid_t> session;
    std::vector<gid_t> database;

    static UserGroups Current();
};

// What the diagnosis looks at; tests give a fake /proc, fake groups and a fake sandbox.
struct DiagnosisContext {
    std::string proc = "/proc";
    UserGroups groups;
    std::string sandbox;  // "Flatpak", "Snap" or empty
    bool brltty = false;  // the braille service is installed: it takes some USB adapters

    static DiagnosisContext Live();
};

struct PortHolder {
    int pid = 0;
    std::string command;
};

// The processes other than this one that have the device open. Where /proc of other users
// cannot be read, incomplete is set.
std::vector<PortHolder> FindPortHolders(const std::string& path, const std::string& proc,
                                        bool* incomplete = nullptr);

// The processes whose command is that name.
std::vector<PortHolder> FindProcesses(const std::string& command, const std::string& proc);

// The reason, as finished text, why opening path failed with the errno value.
std::string DiagnoseOpenFailure(const std::string& path, int error,
                                const DiagnosisContext& context);
std::string DiagnoseOpenFailure(const std::string& path, int error);

// The name of a group, or its number when the group database does not know it.
std::string GroupName(gid_t gid);
std::string UserName(uid_t uid);
// "rw-rw----" for the permission bits of a mode.
std::string ModeText(mode_t mode);
