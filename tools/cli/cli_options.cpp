#include "tools/cli/cli_options.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <string_view>

#include "app/private_exception.h"

namespace cli {
namespace {

using platform::FormatArg;

[[noreturn]] void Fail(const char* key, std::initializer_list<FormatArg> args = {}) {
    throw UsageError{CPrivateException(CPrivateException::Key{key}, args).Message()};
}

// A whole decimal number inside [lo, hi], or nothing.
std::optional<long> ParseInt(const std::string& text, long lo, long hi) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return {};
    errno = 0;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (errno != 0 || v < lo || v > hi) return {};
    return v;
}

// Position of a name in a list of names, or nothing.
std::optional<int> Lookup(const std::string& text, std::initializer_list<const char*> names) {
    int i = 0;
    for (const char* n : names) {
        if (text == n) return i;
        ++i;
    }
    return {};
}

struct OptionRule {
    const char* name;
    const char* shortName;  // nullptr: none
    bool takesValue;
    // Commands that take the option; empty: every command.
    std::vector<Command> commands;
    std::function<void(Options&, const std::string& name, const std::string& value)> apply;
};

int ValueOf(std::optional<long> v, const std::string& name, const std::string& text) {
    if (!v) Fail("cli.badvalue", {text, name});
    return static_cast<int>(*v);
}

const std::vector<OptionRule>& OptionTable() {
    static const std::vector<OptionRule> table = {
        {"--port", nullptr, true, {}, [](Options& o, auto&, auto& v) { o.port = v; }},
        {"--mode",
         nullptr,
         true,
         {},
         [](Options& o, auto& n, auto& v) {
             // The order is the settings' Mode numbering.
             auto m = Lookup(v, {"rtu", "tcp", "slow", "udp", "ascii"});
             if (!m) Fail("cli.badvalue", {v, n});
             o.mode = *m;
         }},
        {"--address",
         nullptr,
         true,
         {},
         [](Options& o, auto& n, auto& v) { o.address = ValueOf(ParseInt(v, 1, 247), n, v); }},
        {"--baud",
         nullptr,
         true,
         {},
         [](Options& o, auto& n, auto& v) {
             auto b = Lookup(v, {"1200", "2400", "4800", "9600", "19200", "38400"});
             if (!b) Fail("cli.badvalue", {v, n});
             o.baudIndex = *b;
         }},
        {"--parity",
         nullptr,
         true,
         {},
         [](Options& o, auto& n, auto& v) {
             auto p = Lookup(v, {"none", "odd", "even", "mark", "space"});
             if (!p) Fail("cli.badvalue", {v, n});
             o.parity = *p;
         }},
        {"--data-bits",
         nullptr,
         true,
         {},
         [](Options& o, auto& n, auto& v) {
             auto d = Lookup(v, {"7", "8"});
             if (!d) Fail("cli.badvalue", {v, n});
             o.character = *d;
         }},
        {"--stop-bits",
         nullptr,
         true,
         {},
         [](Options& o, auto& n, auto& v) {
             auto s = Lookup(v, {"1", "2"});
             if (!s) Fail("cli.badvalue", {v, n});
             o.stop = *s;
         }},
        {"--server",
         nullptr,
         true,
         {},
         [](Options& o, auto& n, auto& v) {
             if (v.empty()) Fail("cli.badvalue", {v, n});
             o.server = v;
         }},
        {"--service",
         nullptr,
         true,
         {},
         [](Options& o, auto& n, auto& v) {
             if (v.empty()) Fail("cli.badvalue", {v, n});
             o.service = v;
         }},
        {"--password", nullptr, true, {}, [](Options& o, auto&, auto& v) { o.password = v; }},
        {"--language",
         nullptr,
         true,
         {},
         [](Options& o, auto& n, auto& v) {
             if (v.empty()) Fail("cli.badvalue", {v, n});
             o.language = v;
         }},
        {"--json", nullptr, false, {}, [](Options& o, auto&, auto&) { o.json = true; }},
        {"--traffic",
         nullptr,
         true,
         {Command::Identify, Command::Upload, Command::Download, Command::Show, Command::Monitor},
         [](Options& o, auto& n, auto& v) {
             if (v.empty()) Fail("cli.badvalue", {v, n});
             o.traffic = v;
         }},
        {"--stats",
         nullptr,
         false,
         {Command::Identify, Command::Upload, Command::Download, Command::Show, Command::Monitor},
         [](Options& o, auto&, auto&) { o.stats = true; }},
        {"--help", "-h", false, {}, [](Options& o, auto&, auto&) { o.help = true; }},
        {"--output",
         "-o",
         true,
         {Command::Upload, Command::New, Command::Report},
         [](Options& o, auto& n, auto& v) {
             if (v.empty()) Fail("cli.badvalue", {v, n});
             o.output = v;
         }},
        {"--input",
         "-i",
         true,
         {Command::Download},
         [](Options& o, auto& n, auto& v) {
             if (v.empty()) Fail("cli.badvalue", {v, n});
             o.input = v;
         }},
        {"--device",
         nullptr,
         false,
         {Command::Show, Command::Diff, Command::Report},
         [](Options& o, auto&, auto&) { o.device = true; }},
        {"--verify",
         nullptr,
         false,
         {Command::Download},
         [](Options& o, auto&, auto&) { o.verify = true; }},
        {"--no-verify",
         nullptr,
         false,
         {Command::Download},
         [](Options& o, auto&, auto&) { o.verify = false; }},
        {"--keep",
         nullptr,
         true,
         {Command::Download},
         [](Options& o, auto& n, auto& v) {
             size_t start = 0;
             while (true) {
                 const size_t comma = std::min(v.find(',', start), v.size());
                 const std::string key = v.substr(start, comma - start);
                 if (key.empty()) Fail("cli.badvalue", {v, n});
                 o.keep.push_back(key);
                 if (comma == v.size()) break;
                 start = comma + 1;
             }
         }},
        {"--report",
         nullptr,
         true,
         {Command::Download},
         [](Options& o, auto& n, auto& v) {
             if (v.empty()) Fail("cli.badvalue", {v, n});
             o.report = v;
         }},
        {"--csv",
         nullptr,
         false,
         {Command::Report, Command::Download},
         [](Options& o, auto&, auto&) { o.csv = true; }},
        {"--keys",
         nullptr,
         false,
         {Command::Show, Command::Monitor},
         [](Options& o, auto&, auto&) { o.keys = true; }},
        {"--watch",
         nullptr,
         false,
         {Command::Ports},
         [](Options& o, auto&, auto&) { o.watch = true; }},
        {"--count",
         nullptr,
         true,
         {Command::Monitor},
         [](Options& o, auto& n, auto& v) { o.count = ValueOf(ParseInt(v, 1, INT_MAX), n, v); }},
        {"--csv",
         nullptr,
         true,
         {Command::Monitor},
         [](Options& o, auto& n, auto& v) {
             if (v.empty()) Fail("cli.badvalue", {v, n});
             o.monitorCsv = v;
         }},
    };
    return table;
}

// An option may mean one thing for one command and another for the next ("--csv" is a flag of
// report and takes a file for monitor): after the command word, its own rule applies.
const OptionRule* FindOption(std::string_view name, Command command = Command::None) {
    const OptionRule* first = nullptr;
    for (const OptionRule& s : OptionTable()) {
        if (name != s.name && !(s.shortName && name == s.shortName)) continue;
        if (!first) first = &s;
        if (std::find(s.commands.begin(), s.commands.end(), command) != s.commands.end()) return &s;
    }
    return first;
}

struct CommandName {
    const char* name;
    Command command;
};
constexpr CommandName kCommands[] = {
    {"ports", Command::Ports},       {"identify", Command::Identify}, {"upload", Command::Upload},
    {"download", Command::Download}, {"new", Command::New},           {"show", Command::Show},
    {"set", Command::Set},           {"monitor", Command::Monitor},   {"diff", Command::Diff},
    {"report", Command::Report},     {"doctor", Command::Doctor},
};

void Missing(const Options& o, const char* what) {
    Fail("cli.missing", {o.commandName, std::string(what)});
}

void CheckOperands(const Options& o) {
    const size_t n = o.operands.size();
    auto surplus = [&](size_t allowed) {
        if (n > allowed) Fail("cli.extra", {o.operands[allowed]});
    };
    switch (o.command) {
        case Command::Ports:
        case Command::Identify:
        case Command::Monitor:
        case Command::Doctor:
            surplus(0);
            break;
        case Command::Upload:
            surplus(0);
            if (o.output.empty()) Missing(o, "-o FILE");
            break;
        case Command::Download:
            surplus(0);
            if (o.input.empty()) Missing(o, "-i FILE");
            break;
        case Command::New:
            if (n == 0) Missing(o, "MODEL-CODE");
            surplus(1);
            if (o.output.empty()) Missing(o, "-o FILE");
            break;
        case Command::Show:
            if (o.device) {
                surplus(0);
            } else {
                if (n == 0) Missing(o, "FILE");
                surplus(1);
            }
            break;
        case Command::Set:
            if (n == 0) Missing(o, "FILE");
            if (n == 1) Missing(o, "KEY=VALUE");
            for (size_t i = 1; i < n; ++i) {
                const size_t eq = o.operands[i].find('=');
                if (eq == std::string::npos || eq == 0) Fail("cli.badassign", {o.operands[i]});
            }
            break;
        case Command::Diff:
            if (o.operands.size() + (o.device ? 1 : 0) < 2) Missing(o, "A B");
            for (const std::string& side : o.operands)
                if (side.empty()) Missing(o, "A B");
            surplus(o.device ? 1 : 2);
            break;
        case Command::Report:
            if (o.output.empty()) Missing(o, "-o FILE");
            if (o.device) {
                surplus(0);
            } else {
                if (n == 0) Missing(o, "--device | FILE");
                surplus(1);
            }
            break;
        case Command::None:
            break;
    }
    if (o.csv && o.command == Command::Download && o.report.empty())
        Fail("cli.missing", {std::string("--csv"), std::string("--report FILE")});
}

}  // namespace

std::string FindLanguageOption(const std::vector<std::string>& args) {
    std::string found;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") break;
        if (args[i] == "--language" && i + 1 < args.size())
            found = args[++i];
        else if (args[i].rfind("--language=", 0) == 0)
            found = args[i].substr(11);
    }
    return found;
}

Options ParseCommandLine(const std::vector<std::string>& args) {
    Options o;
    // Options may stand before or after the command; which command takes which option is checked
    // once the command is known.
    std::vector<std::pair<const OptionRule*, std::string>> given;
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        Command command = Command::None;
        for (const CommandName& c : kCommands)
            if (!positional.empty() && positional.front() == c.name) command = c.command;
        const OptionRule* rule = FindOption(name, command);
        if (!rule) Fail("cli.badoption", {name});
        std::string value;
        if (rule->takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else {
                if (i + 1 >= args.size()) Fail("cli.needvalue", {name});
                value = args[++i];
            }
        } else if (inlineValue) {
            Fail("cli.badvalue", {*inlineValue, name});
        }
        given.emplace_back(rule, value);
        rule->apply(o, name, value);
        if (rule->name == std::string_view("--device")) o.devicePosition = positional.size();
    }
    if (o.help) return o;

    if (positional.empty()) Fail("cli.nocommand");
    o.commandName = positional.front();
    for (const CommandName& c : kCommands)
        if (o.commandName == c.name) o.command = c.command;
    if (o.command == Command::None) Fail("cli.badcommand", {o.commandName});
    o.operands.assign(positional.begin() + 1, positional.end());

    for (const auto& [rule, value] : given) {
        if (rule->commands.size() == 0) continue;
        bool takes = false;
        for (Command c : rule->commands) takes = takes || c == o.command;
        if (!takes) Fail("cli.notfor", {std::string(rule->name), o.commandName});
    }
    CheckOperands(o);
    return o;
}

std::vector<std::string> Options::DiffSides() const {
    std::vector<std::string> sides = operands;
    // --device stands for the side at its place among the operands (after the command word).
    if (device) {
        const size_t at = std::min(devicePosition > 0 ? devicePosition - 1 : 0, sides.size());
        sides.insert(sides.begin() + static_cast<std::ptrdiff_t>(at), std::string());
    }
    return sides;
}

ComSettings ConnectionSettings(const Options& o, ComSettings s) {
    s.Character = 1;
    if (o.port) {
        s.COMPortName = *o.port;
        s.COMPortDisplayName = *o.port;
    }
    if (o.mode) s.Mode = *o.mode;
    if (o.address) s.Address = *o.address;
    if (o.baudIndex) s.Baudrate = *o.baudIndex;
    if (o.parity) s.Parity = *o.parity;
    if (o.character) s.Character = *o.character;
    if (o.stop) s.Stop = *o.stop;
    if (o.server) s.ServerAddress = *o.server;
    if (o.service) s.ServicePort = *o.service;
    return s;
}

}  // namespace cli
