// norvelco-cli: the Configurator's device and file functions from a terminal, for scripts and for
// setting up many devices in a row. Run with --help for the commands.
#include <signal.h>

#include <atomic>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "tools/cli/cli_commands.h"

namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void OnInterrupt(int) {
    g_interrupted = true;
}

void InstallInterruptHandler() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a password prompt's read returns at once. SA_RESETHAND: a second Ctrl+C
    // ends the program the ordinary way when the first one does not seem to help.
    sa.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandler();
    cli::CTtyTerminal terminal;
    cli::Environment env{std::cout, std::cerr, terminal, g_interrupted};
    const int status = cli::RunCli(std::vector<std::string>(argv + 1, argv + argc), env);
    std::cout.flush();
    return status;
}
