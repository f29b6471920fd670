#include "session/report.h"

#include <functional>

#include "app/private_exception.h"
#include "app/resource_database.h"
#include "modbus/modbus_interface.h"
#include "model/dev_types.h"
#include "platform/text.h"
#include "session/device_session.h"

namespace {

using platform::FormatArg;
using platform::FormatC;

std::string Msg(std::string_view key, std::initializer_list<FormatArg> args = {}) {
    return CPrivateException(CPrivateException::Key{key}, args).Message();
}

std::string TimeText(std::time_t t, bool utc) {
    std::tm parts{};
    if (utc)
        gmtime_r(&t, &parts);
    else
        localtime_r(&t, &parts);
    char text[64];
    std::strftime(text, sizeof text, utc ? "%Y-%m-%d %H:%M:%S UTC" : "%Y-%m-%d %H:%M:%S %Z",
                  &parts);
    return text;
}

// The report's content once, for both formats: labelled facts, then rows of parameters.
struct Fact {
    std::string label;
    std::string value;
};
struct ParameterRow {
    bool group;
    std::string label, key, value, unit;
};

std::vector<Fact> Identification(const ReportData& r) {
    const CDevInterface& m = *r.model;
    const CDevType types;
    const int entry = types.FindEntry(m.TypeCode(), m.Version());
    std::vector<Fact> facts = {
        {Msg("report.made"), TimeText(r.made, false) + " / " + TimeText(r.made, true)},
        {Msg("report.program"), r.program},
    };
    if (!r.port.empty()) facts.push_back({Msg("report.port"), r.port});
    if (!r.source.empty()) facts.push_back({Msg("report.source"), r.source});
    facts.push_back({Msg("report.model"), types.LongName(entry) + " (" + m.ModelCode() + ")"});
    facts.push_back({Msg("report.typecode"), FormatC("%u", m.TypeCode())});
    if (r.device) {
        facts.push_back({Msg("report.firmware"), r.device->firmware});
        facts.push_back({Msg("report.serial"), r.device->serial});
        if (!r.device->mac.empty()) facts.push_back({Msg("report.mac"), r.device->mac});
    } else {
        facts.push_back(
            {Msg("report.version"), FormatC("%u.%u", m.Version() >> 16, m.Version() & 0xFFFF)});
    }
    return facts;
}

std::vector<ParameterRow> Parameters(const CDevInterface& m) {
    std::vector<ParameterRow> rows;
    for (int i = 0; i < m.Count(); ++i) {
        const CParInterface& p = m.At(i);
        if (p.Type() == PAR_GROUP)
            rows.push_back({true, p.GetLabel(), p.Key(), {}, {}});
        else
            rows.push_back(
                {false, p.GetLabel(), p.Key(), m.AdjustText(i, p.GetText()), p.GetUnitText()});
    }
    return rows;
}

std::string VerificationSummary(const VerifyResult& v) {
    return v.Passed() ? Msg("report.verifyok", {int32_t{v.compared}})
                      : Msg("report.verifyfail",
                            {static_cast<int32_t>(v.differences.size()), int32_t{v.compared}});
}

// ---- HTML ----

std::string Html(std::string_view text) {
    std::string out;
    for (char c : platform::SanitizeUtf8(text)) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Table attributes as well as CSS: the PDF writer's HTML engine reads the attributes.
constexpr const char* kTable =
    "<table border=\"1\" cellspacing=\"0\" cellpadding=\"3\" width=\"100%\">";

constexpr const char* kStyle =
    "@page{size:A4;margin:14mm}"
    "body{font-family:'DejaVu Sans',Arial,sans-serif;font-size:9pt;color:#000}"
    "h1{font-size:15pt;margin:0 0 6pt 0}"
    "h2{font-size:11pt;margin:10pt 0 3pt 0}"
    "table{border-collapse:collapse;width:100%}"
    "th,td{border:1px solid #999;padding:2pt 4pt;text-align:left;vertical-align:top}"
    "th{background-color:#e8e8e8}"
    "tr.group td{background-color:#f2f2f2;font-weight:bold}"
    "td.fact{width:30%}"
    ".ok{color:#006400;font-weight:bold}.fail{color:#b00000;font-weight:bold}"
    "tr{page-break-inside:avoid}";

}  // namespace

DeviceInfo ReadDeviceInfo(CModbusInterface& master) {
    std::unique_ptr<CDevInterface> monitor = PollMonitor(master);
    DeviceInfo info;
    const auto text = [&](const char* key) {
        const int i = monitor->IndexOf(key);
        return monitor->Is(i, key) ? monitor->AdjustText(i, monitor->At(i).GetText())
                                   : std::string();
    };
    info.firmware = text("firmver");
    info.serial = text("serial");
    info.mac = text("mac");
    return info;
}

std::string PortText(const ComSettings& settings) {
    switch (TraitsOfMode(settings.Mode).link) {
        case ModeTraits::NETWORK_TCP:
            return settings.ServerAddress + ":" + settings.ServicePort;
        case ModeTraits::NETWORK_UDP:
            return "UDP " + MacToText(settings.TargetMac);
        default:
            return settings.COMPortName;
    }
}

std::string ReportHtml(const ReportData& r) {
    const std::string title = Msg("report.title");
    std::string h = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + Html(title) +
                    "</title><style>" + kStyle + "</style></head><body>\n<h1>" + Html(title) +
                    "</h1>\n" + kTable + "\n";
    for (const Fact& f : Identification(r))
        h += "<tr><td class=\"fact\"><b>" + Html(f.label) + "</b></td><td>" + Html(f.value) +
             "</td></tr>\n";
    h += "</table>\n";

    if (r.verification) {
        const VerifyResult& v = *r.verification;
        h += "<h2>" + Html(Msg("report.verify")) + "</h2>\n<p class=\"" +
             (v.Passed() ? "ok" : "fail") + "\">" + Html(VerificationSummary(v)) + "</p>\n";
        if (!v.Passed()) {
            h += std::string(kTable) + "\n<tr><th>" + Html(Msg("report.parameter")) + "</th><th>" +
                 Html(Msg("report.written")) + "</th><th>" + Html(Msg("report.held")) +
                 "</th></tr>\n";
            for (const VerifyDifference& d : v.differences)
                h += "<tr><td>" + Html(r.model->At(d.index).GetLabel()) + "</td><td>" +
                     Html(d.written) + "</td><td>" + Html(d.held) + "</td></tr>\n";
            h += "</table>\n";
        }
    }

    h += "<h2>" + Html(Msg("report.params")) + "</h2>\n" + kTable + "\n<tr><th>" +
         Html(Msg("report.parameter")) + "</th><th>" + Html(Msg("report.value")) + "</th><th>" +
         Html(Msg("report.unit")) + "</th></tr>\n";
    for (const ParameterRow& row : Parameters(*r.model)) {
        if (row.group)
            h += "<tr class=\"group\"><td colspan=\"3\" bgcolor=\"#f2f2f2\"><b>" + Html(row.label) +
                 "</b></td></tr>\n";
        else
            h += "<tr><td>" + Html(row.label) + "</td><td>" + Html(row.value) + "</td><td>" +
                 Html(row.unit) + "</td></tr>\n";
    }
    return h + "</table>\n</body></html>\n";
}

namespace {

std::string Csv(std::string_view text) {
    std::string out = "\"";
    for (char c : platform::SanitizeUtf8(text)) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string CsvLine(std::initializer_list<std::string_view> cells) {
    std::string line;
    for (std::string_view c : cells) {
        if (!line.empty()) line += ',';
        line += Csv(c);
    }
    line += "\r\n";  // appended, not added: GCC 12 warns of a false overlap in s + "..."
    return line;
}

}  // namespace

std::string ReportCsv(const ReportData& r) {
    // One table: section, item, key, value, unit; the first line names the columns.
    std::string csv = CsvLine({Msg("report.section"), Msg("report.parameter"), "key",
                               Msg("report.value"), Msg("report.unit")});
    const std::string device = Msg("report.title");
    for (const Fact& f : Identification(r)) csv += CsvLine({device, f.label, "", f.value, ""});
    if (r.verification) {
        const VerifyResult& v = *r.verification;
        const std::string section = Msg("report.verify");
        csv += CsvLine({section, Msg("report.verify"), "", VerificationSummary(v), ""});
        for (const VerifyDifference& d : v.differences) {
            const CParInterface& p = r.model->At(d.index);
            csv += CsvLine(
                {section, p.GetLabel(), p.Key(), Msg("report.csvdiff", {d.written, d.held}), ""});
        }
    }
    std::string group;
    for (const ParameterRow& row : Parameters(*r.model)) {
        if (row.group)
            group = row.label;
        else
            csv += CsvLine({group, row.label, row.key, row.value, row.unit});
    }
    return csv;
}
