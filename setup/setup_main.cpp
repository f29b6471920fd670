// Setup, the installer launcher of the installation folder: it hands the Debian package that lies
// in the current directory to the desktop's package installer and ends at once. It shows nothing,
// asks nothing, ignores its arguments and always exits with status 0; the installer reports any
// problem (a missing package, no installer) in its own window.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <vector>

extern char** environ;

namespace {

constexpr char kCommandLine[] = "xdg-open norvelco.deb";
constexpr char kProperty[] = "SETUPVAR1=0";
constexpr std::size_t kBufferSize = 1024;

// The command line split in place into its words; the literal itself is never handed out.
std::vector<char*> SplitWords(char* buffer) {
    std::vector<char*> words;
    for (char* word = std::strtok(buffer, " "); word != nullptr; word = std::strtok(nullptr, " ")) {
        words.push_back(word);
    }
    words.push_back(nullptr);
    return words;
}

// The caller's environment with the property set to 0, replacing a value the caller had.
std::vector<char*> ChildEnvironment(char* property) {
    const std::size_t nameLength = std::strchr(property, '=') - property + 1;
    std::vector<char*> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, property, nameLength) != 0) env.push_back(*entry);
    }
    env.push_back(property);
    env.push_back(nullptr);
    return env;
}

void StartInstaller() {
    static char commandLine[kBufferSize];
    static char property[sizeof(kProperty)];
    std::memcpy(commandLine, kCommandLine, sizeof(kCommandLine));
    std::memcpy(property, kProperty, sizeof(kProperty));
    std::vector<char*> argv = SplitWords(commandLine);
    std::vector<char*> envp = ChildEnvironment(property);

    // The kernel reaps the child when it ends, so the launcher never waits for it; the child
    // itself gets the default disposition back, since its own children must be waitable.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGCHLD, &ignore, nullptr);

    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) return;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    // Like a program started from the desktop, the installer inherits no descriptor of the
    // caller: its standard streams are the null device, so nothing reaches the caller's.
    posix_spawn_file_actions_t streams;
    if (posix_spawn_file_actions_init(&streams) != 0) {
        posix_spawnattr_destroy(&attributes);
        return;
    }
    posix_spawn_file_actions_addopen(&streams, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&streams, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&streams, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&streams, STDERR_FILENO + 1);
    pid_t child = 0;
    // Whether the installer could be started is deliberately not examined.
    (void)posix_spawnp(&child, argv[0], &streams, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&streams);
    posix_spawnattr_destroy(&attributes);
}

}  // namespace

int main() {
    try {
        StartInstaller();
    } catch (...) {
        // Not even running out of memory changes the exit status.
    }
    return 0;
}
