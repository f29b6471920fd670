#include "session/monitor_record.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <fstream>

#include "app/private_exception.h"
#include "model/dev_interface.h"
#include "platform/text.h"

namespace {

// Operations are commands the user sends, groups are headings: neither is a reading.
bool IsRecorded(const CParInterface& p) {
    return p.Type() != PAR_GROUP && !(p.Flags() & PARF_OPERATION);
}

std::string Quoted(const std::string& cell) {
    if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
    std::string q = "\"";
    for (char c : cell) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + '"';
}

std::string Cell(const CDevInterface& model, int index) {
    const CParInterface& p = model.At(index);
    if (std::optional<double> n = MonitorNumber(p))
        return platform::FormatC("%.*f", std::max(0, p.Decimals()), *n);
    return Quoted(model.AdjustText(index, p.GetText()));
}

std::string FirstLine(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (in) std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

bool FileHasData(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in && in.tellg() > 0;
}

// "f.csv" -> "f-2.csv"; a name without extension gets the suffix at its end.
std::string Numbered(const std::string& path, int n) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > 0 &&
                              (slash == std::string::npos || dot > slash + 1);
    const std::string suffix = platform::FormatC("-%d", n);
    if (!hasExtension) return path + suffix;
    return path.substr(0, dot) + suffix + path.substr(dot);
}

}  // namespace

std::optional<double> MonitorNumber(const CParInterface& p) {
    const CParValue& v = p.Value();
    double n;
    switch (p.Type()) {
        case PAR_UINT16:
            n = v.Word(0);
            break;
        case PAR_INT16:
            n = static_cast<int16_t>(v.Word(0));
            break;
        case PAR_UINT32:
            n = static_cast<double>((static_cast<uint32_t>(v.Word(1)) << 16) | v.Word(0));
            break;
        default:
            return std::nullopt;
    }
    return p.Decimals() > 0 ? n / std::pow(10.0, p.Decimals()) : n;
}

CMonitorRecorder::CMonitorRecorder(std::string path) : m_path(std::move(path)), m_current(m_path) {}

CMonitorRecorder::~CMonitorRecorder() {
    Close();
}

std::string CMonitorRecorder::FormatTime(MonitorClock::time_point when) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    return platform::FormatC("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                             utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                             static_cast<int>(ms - static_cast<long long>(seconds) * 1000));
}

std::string CMonitorRecorder::Header(const CDevInterface& model) {
    std::string header = "time";
    for (int i = 0; i < model.Count(); ++i) {
        const CParInterface& p = model.At(i);
        if (!IsRecorded(p)) continue;
        std::string column = p.Key();
        const std::string unit = p.GetUnitText();
        if (!unit.empty()) column += " [" + unit + "]";
        header += ',' + Quoted(column);
    }
    return header;
}

std::string CMonitorRecorder::Line(const CDevInterface& model, MonitorClock::time_point when) {
    std::string line = FormatTime(when);
    for (int i = 0; i < model.Count(); ++i)
        if (IsRecorded(model.At(i))) line += ',' + Cell(model, i);
    return line;
}

void CMonitorRecorder::AddPoll(const CDevInterface& model, MonitorClock::time_point when) {
    const std::string header = Header(model);
    if (!m_file || header != m_header) Open(header);
    Write(Line(model, when));
}

void CMonitorRecorder::AddFailedPoll(MonitorClock::time_point when) {
    if (!m_file) return;
    Write(FormatTime(when) + std::string(static_cast<size_t>(m_columns), ','));
}

void CMonitorRecorder::Open(const std::string& header) {
    Close();
    // The chosen file, or the first numbered one beside it whose columns are these (or that is
    // still empty): a recording never mixes the columns of two device types.
    std::string path;
    bool append = false;
    for (int n = 1;; ++n) {
        path = n == 1 ? m_path : Numbered(m_path, n);
        if (!FileHasData(path)) break;
        if (FirstLine(path) == header) {
            append = true;
            break;
        }
    }
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (!file) {
        const int error = errno;
        throw CPrivateException(CPrivateException::Key{"rec.openerr"},
                                {path, CMessageFormatter(error).Text()});
    }
    m_file = file;
    m_current = path;
    m_header = header;
    m_columns = 0;
    for (char c : header) m_columns += c == ',';
    m_lines = 0;
    if (!append) {
        // The line count is of data lines: the header is not one.
        Write(header);
        m_lines = 0;
    }
}

void CMonitorRecorder::Write(const std::string& line) {
    const std::string text = line + "\n";
    if (std::fputs(text.c_str(), m_file) < 0 || std::fflush(m_file) != 0) {
        const int error = errno;
        Close();
        throw CPrivateException(CPrivateException::Key{"rec.openerr"},
                                {m_current, CMessageFormatter(error).Text()});
    }
    ++m_lines;
}

void CMonitorRecorder::Close() {
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
}
