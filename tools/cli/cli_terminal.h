// What the command-line tool needs of the user's terminal: a progress bar and a password prompt.
// Tests use the base class, which has no terminal.
#pragma once

#include <optional>
#include <string>

namespace cli {

class CliTerminal {
public:
    virtual ~CliTerminal() = default;
    // Draws or redraws the bar; only where a person watches.
    virtual void DrawProgress(const std::string& /*caption*/, double /*fraction*/) {}
    // Ends the bar's line.
    virtual void EndProgress() {}
    // The password typed without echo; nothing when there is no terminal or the user gave up.
    virtual std::optional<std::string> ReadPassword(const std::string& /*prompt*/) { return {}; }
};

// The controlling terminal: the bar on stderr when stderr is a terminal, the prompt on /dev/tty.
class CTtyTerminal : public CliTerminal {
public:
    void DrawProgress(const std::string& caption, double fraction) override;
    void EndProgress() override;
    std::optional<std::string> ReadPassword(const std::string& prompt) override;

private:
    bool m_drawn = false;
    int m_lastPercent = -1;
};

}  // namespace cli
