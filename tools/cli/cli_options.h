// The command line of norvelco-cli: global connection options, one command and its operands.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/settings.h"

namespace cli {

enum class Command {
    None,
    Ports,
    Identify,
    Upload,
    Download,
    New,
    Show,
    Set,
    Monitor,
    Diff,
    Report,
    Doctor
};

struct Options {
    // Connection settings that override the persisted ones.
    std::optional<std::string> port;
    std::optional<int> mode;
    std::optional<int> address;
    std::optional<int> baudIndex;  // index 0..5 of the rate table
    std::optional<int> parity;     // parity code
    std::optional<int> character;  // data-bits index: 0 = 7 bits, 1 = 8 bits
    std::optional<int> stop;       // stop-bits index: 0 = one, 1 = two
    std::optional<std::string> server;
    std::optional<std::string> service;
    std::optional<std::string> password;
    std::optional<std::string> language;
    bool json = false;
    bool help = false;
    std::string traffic;  // --traffic: a file, or "-" for stderr; empty: no traffic log
    bool stats = false;   // --stats

    Command command = Command::None;
    std::string commandName;
    std::vector<std::string> operands;  // after the command name
    std::string output;                 // -o
    std::string input;                  // -i
    bool device = false;                // show/diff/report --device
    size_t devicePosition = 0;          // words before --device that were not options
    bool keys = false;                  // show/monitor --keys
    int count = 0;                      // monitor --count; 0 = until interrupted
    std::optional<bool> verify;         // download --verify / --no-verify; unset: the setting
    std::vector<std::string> keep;      // download --keep: keys whose device values stay
    std::string report;                 // download --report FILE
    bool csv = false;                   // report/download --csv

    // The two sides of diff in order; an empty side is the device.
    std::vector<std::string> DiffSides() const;
    std::string monitorCsv;             // monitor --csv FILE: every poll appended to it
    bool watch = false;                 // ports --watch
};

// A malformed command line; the message is finished text from the language file.
struct UsageError {
    std::string message;
};

// The value of --language, looked for before anything else so that every message of the parse
// itself comes in the chosen language; empty when not given.
std::string FindLanguageOption(const std::vector<std::string>& args);

// Throws UsageError for an unknown option, a missing or malformed value, an unknown command, an
// option the command does not take, or missing or surplus operands.
Options ParseCommandLine(const std::vector<std::string>& args);

// The persisted settings with the options applied. A fresh store leaves "Character" at 7 data
// bits, which no device of the family uses, so 8 data bits apply unless --data-bits says otherwise.
ComSettings ConnectionSettings(const Options& options, ComSettings persisted);

}  // namespace cli
