// The commands of norvelco-cli, callable in-process: the program's main only wires them to the
// process's streams, terminal and interrupt signal.
#pragma once

#include <atomic>
#include <ostream>
#include <string>
#include <vector>

#include "tools/cli/cli_terminal.h"

namespace cli {

// Exit statuses.
constexpr int EXIT_SUCCESS_CODE = 0;
constexpr int EXIT_DEVICE = 1;       // the device or the line failed
constexpr int EXIT_USAGE = 2;        // malformed command line
constexpr int EXIT_FILE = 3;         // unreadable or invalid file, output not writable
constexpr int EXIT_VALUE = 4;        // a value the codec or the model's rules refuse
constexpr int EXIT_DIFFERENT = 5;    // diff: the two sides differ
constexpr int EXIT_CANCELLED = 130;  // interrupted by the user (SIGINT)

struct Environment {
    std::ostream& out;
    std::ostream& err;
    CliTerminal& terminal;
    // Set when the user interrupts; device exchanges stop after their current block.
    const std::atomic<bool>& interrupted;
};

// Runs one command line (without the program name) and returns the exit status. Settings come
// from the file named by NORVELCO_SETTINGS, else from the desktop Configurator's store; the
// tool never writes them.
int RunCli(const std::vector<std::string>& args, Environment& env);

}  // namespace cli
