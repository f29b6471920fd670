// Monitor values over time: the CSV lines of a recording and the file they go to, and the
// numeric reading of a monitor parameter that the trend chart draws.
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

class CDevInterface;
class CParInterface;

using MonitorClock = std::chrono::system_clock;

// The value of a number parameter as a plain number (decimals applied); nothing for texts,
// lists, versions and addresses, which have no place on an axis.
std::optional<double> MonitorNumber(const CParInterface& parameter);

// Appends one CSV line per poll to a file: "time" in ISO 8601 UTC with milliseconds, then one
// column per parameter that has a value, headed by its key and its unit in brackets. Every line
// is flushed at once, so that a crash loses at most the line being written.
class CMonitorRecorder {
public:
    // Nothing is opened before the first successful poll: the columns come from its model.
    explicit CMonitorRecorder(std::string path);
    ~CMonitorRecorder();
    CMonitorRecorder(const CMonitorRecorder&) = delete;
    CMonitorRecorder& operator=(const CMonitorRecorder&) = delete;

    // A successful poll. A model whose columns differ from those of the open file (another
    // device type) starts a new file beside the first, so that columns never mix. Throws
    // CPrivateException when the file cannot be written; the recorder then stays closed.
    void AddPoll(const CDevInterface& model, MonitorClock::time_point when);
    // A failed poll: the time and empty cells; nothing before the first successful poll.
    void AddFailedPoll(MonitorClock::time_point when);

    // The file written now (the first one until the columns change), and its data lines.
    const std::string& CurrentPath() const { return m_current; }
    int Lines() const { return m_lines; }

    static std::string Header(const CDevInterface& model);
    static std::string Line(const CDevInterface& model, MonitorClock::time_point when);
    static std::string FormatTime(MonitorClock::time_point when);

private:
    void Open(const std::string& header);
    void Write(const std::string& line);
    void Close();

    std::string m_path;
    std::string m_current;
    std::string m_header;
    std::FILE* m_file = nullptr;
    int m_columns = 0;
    int m_lines = 0;
};
