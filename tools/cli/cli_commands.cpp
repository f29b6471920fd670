#include "tools/cli/cli_commands.h"

#include <unistd.h>

#include <QSettings>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "app/private_exception.h"
#include "app/resource_database.h"
#include "app/settings.h"
#include "modbus/modbus_interface.h"
#include "modbus/port_discovery.h"
#include "modbus/port_monitor.h"
#include "modbus/traffic.h"
#include "model/dev_types.h"
#include "model/model_listing.h"
#include "model/value_check.h"
#include "platform/atomic_file.h"
#include "platform/text.h"
#include "platform/xml_reader_writer.h"
#include "session/config_file.h"
#include "session/device_session.h"
#include "session/monitor_record.h"
#include "session/report.h"
#include "session/verification.h"
#include "tools/cli/cli_doctor.h"
#include "tools/cli/cli_options.h"

namespace cli {
namespace {

using platform::FormatArg;
using platform::FormatC;

constexpr int kThirdVersionRegister = 3002;

std::string Msg(std::string_view key, std::initializer_list<FormatArg> args = {}) {
    return CPrivateException(CPrivateException::Key{key}, args).Message();
}

// Text the tool did not write itself (from a device, a file, a file name) never reaches the
// terminal raw: an escape sequence in a network name could clear the screen or retitle it.
std::string Safe(std::string_view text) {
    return platform::EscapeControls(text);
}

std::string VersionText(uint32_t version) {
    return FormatC("%u.%u", version >> 16, version & 0xFFFF);
}

// ---- JSON output ----

std::string Quote(std::string_view text) {
    std::string q = "\"";
    for (unsigned char c : platform::SanitizeUtf8(text)) {
        switch (c) {
            case '"':
                q += "\\\"";
                break;
            case '\\':
                q += "\\\\";
                break;
            case '\n':
                q += "\\n";
                break;
            case '\r':
                q += "\\r";
                break;
            case '\t':
                q += "\\t";
                break;
            default:
                if (c < 0x20)
                    q += FormatC("\\u%04x", c);
                else
                    q += static_cast<char>(c);
        }
    }
    return q + "\"";
}

const char* Bool(bool b) {
    return b ? "true" : "false";
}

// The parameters of a model in index order, group headings left out: each row names the
// heading of its group instead.
std::string ParametersJson(const CDevInterface& model) {
    std::vector<bool> valid(static_cast<size_t>(model.Count()), true);
    for (const ValueProblem& problem : CheckValues(model))
        valid[static_cast<size_t>(problem.index)] = false;
    std::string json = "[";
    std::string group;
    bool first = true;
    for (int i = 0; i < model.Count(); ++i) {
        const CParInterface& p = model.At(i);
        if (p.Type() == PAR_GROUP) {
            group = p.GetLabel();
            continue;
        }
        std::string registers;
        for (uint16_t w : p.Value().Words()) {
            if (!registers.empty()) registers += ',';
            registers += std::to_string(w);
        }
        json += first ? "" : ",";
        first = false;
        json += FormatC("{\"index\":%d,\"key\":", i) + Quote(p.Key()) +
                ",\"label\":" + Quote(p.GetLabel()) + ",\"group\":" + Quote(group) +
                ",\"text\":" + Quote(model.AdjustText(i, p.GetDisplayText())) +
                FormatC(",\"address\":%u,\"registers\":[", p.Value().Address()) + registers +
                "],\"locked\":" + Bool(model.IsLocked(i)) +
                ",\"readonly\":" + Bool((p.Flags() & PARF_READONLY) != 0) +
                ",\"valid\":" + Bool(valid[static_cast<size_t>(i)]) + "}";
    }
    return json + "]";
}

// ---- traffic log and statistics ----

// Every entry of the traffic record as one line, flushed at once so that a log followed with
// tail -f is never behind the device.
class CTrafficWriter : public modbus::CTrafficListener {
public:
    explicit CTrafficWriter(std::ostream& out) : m_out(out) {}
    void OnTraffic(const modbus::TrafficEntry& entry) override {
        m_out << modbus::FormatTrafficLine(entry) << '\n' << std::flush;
    }

private:
    std::ostream& m_out;
};

std::string StatisticsJson(const modbus::TrafficStatistics& s) {
    std::string json = FormatC(
        "{\"requests\":%llu,\"replies\":%llu,\"timeouts\":%llu,\"checksumErrors\":%llu,"
        "\"exceptions\":%llu,\"retries\":%llu,\"invalidReplies\":%llu,"
        "\"meanResponseMs\":%.1f,\"maxResponseMs\":%.1f,\"lastGoodReply\":",
        static_cast<unsigned long long>(s.requests), static_cast<unsigned long long>(s.replies),
        static_cast<unsigned long long>(s.timeouts),
        static_cast<unsigned long long>(s.checksumErrors),
        static_cast<unsigned long long>(s.exceptions), static_cast<unsigned long long>(s.retries),
        static_cast<unsigned long long>(s.invalidReplies), s.MeanResponseMs(), s.MaxResponseMs());
    json += s.lastGoodReplyWallUs > 0 ? Quote(modbus::IsoTimestamp(s.lastGoodReplyWallUs)) : "null";
    return json + "}";
}

// ---- the run of one command ----

class Run;

// The connection step's questions, answered from the command line or the terminal.
class CCliConnectionUi : public ConnectionUi {
public:
    explicit CCliConnectionUi(Run& run) : m_run(run) {}
    bool ChoosePort(ComSettings&) override { return true; }
    bool AskPassword(CModbusInterface& master) override;
    void ShowError(const std::string& text) override;

private:
    Run& m_run;
};

// Reports progress on the terminal and tells the transfer when the user interrupted.
class CCliProgress : public TransferProgress {
public:
    CCliProgress(CliTerminal& terminal, std::string caption, const std::atomic<bool>& interrupted)
        : m_terminal(terminal), m_caption(std::move(caption)), m_interrupted(interrupted) {}
    ~CCliProgress() override { m_terminal.EndProgress(); }
    void SetProgress(double fraction) override { m_terminal.DrawProgress(m_caption, fraction); }
    void BeginPass(int pass, int passes) override {
        if (pass > 1) m_terminal.EndProgress();
        if (m_passCaption.empty()) m_passCaption = m_caption;
        const std::string what =
            pass == 1 ? m_passCaption
                      : CPrivateException(CPrivateException::Key{"verifying"}).Message();
        m_caption =
            CPrivateException(CPrivateException::Key{"passof"}, {pass, passes, what}).Message();
    }
    bool Cancelled() const override { return m_interrupted; }

private:
    CliTerminal& m_terminal;
    std::string m_caption;
    std::string m_passCaption;  // of the first pass
    const std::atomic<bool>& m_interrupted;
};

// The signal handler may only set a flag; this thread turns the flag into the master's Cancel,
// so that an exchange in progress stops after its current reply.
class CCancelWatcher {
public:
    CCancelWatcher(CModbusInterface& master, const std::atomic<bool>& interrupted)
        : m_thread([&master, &interrupted](std::stop_token stop) {
              std::mutex mutex;
              std::condition_variable_any woken;
              std::unique_lock lock(mutex);
              while (!stop.stop_requested()) {
                  // Repeated: each block clears the master's flag when it starts.
                  if (interrupted) master.Cancel();
                  // Not a sleep: the command's end must not wait for the watcher's next look.
                  woken.wait_for(lock, stop, std::chrono::milliseconds(20), [] { return false; });
              }
          }) {}

private:
    std::jthread m_thread;
};

class Run {
public:
    Run(const Options& options, Environment& env)
        : m_o(options),
          m_env(env),
          m_settings(ConnectionSettings(options, ComSettings::Loaded())) {}

    int Execute() {
        if (int rc = OpenTrafficLog()) return rc;
        switch (m_o.command) {
            case Command::Ports:
                return Ports();
            case Command::Identify:
                return Identify();
            case Command::Upload:
                return Upload();
            case Command::Download:
                return Download();
            case Command::New:
                return New();
            case Command::Show:
                return m_o.device ? ShowDevice() : ShowFile();
            case Command::Set:
                return Set();
            case Command::Monitor:
                return Monitor();
            case Command::Diff:
                return Diff();
            case Command::Report:
                return Report();
            case Command::Doctor:
                return RunDoctor(m_settings, m_env.out, DoctorInputs{});
            case Command::None:
                break;
        }
        return EXIT_USAGE;
    }

    std::ostream& Err() { return m_env.err; }
    const Options& Opts() const { return m_o; }
    CliTerminal& Terminal() { return m_env.terminal; }
    bool Interrupted() const { return m_env.interrupted; }

private:
    // ---- commands ----

    int Ports() {
        // Watching starts before the first listing: a port that comes in between is not missed.
        std::optional<CPortMonitor> monitor;
        if (m_o.watch) monitor.emplace();
        CComPortList ports;
        if (m_o.json && !m_o.watch) {
            std::string json = "[";
            for (const ComPortEntry& e : ports.Entries()) {
                if (json.size() > 1) json += ',';
                json += PortJson(e);
            }
            m_env.out << json << "]\n";
        } else {
            for (const ComPortEntry& e : ports.Entries()) PrintPort(e, '+');
        }
        if (!m_o.watch) return EXIT_SUCCESS_CODE;
        m_env.out.flush();
        // Until Ctrl+C: each port that comes or goes, as one line.
        while (!Interrupted()) {
            if (!monitor->Wait(std::chrono::milliseconds(200))) continue;
            // udev sends several events for one adapter: let them settle.
            while (monitor->Wait(std::chrono::milliseconds(100))) {
            }
            CComPortList now;
            for (const ComPortEntry& e : ports.Entries())
                if (!Listed(now, e)) PrintPort(e, '-');
            for (const ComPortEntry& e : now.Entries())
                if (!Listed(ports, e)) PrintPort(e, '+');
            m_env.out.flush();
            ports = std::move(now);
        }
        return EXIT_SUCCESS_CODE;
    }

    static bool Listed(const CComPortList& list, const ComPortEntry& e) {
        const int i = list.Find(e.path);
        return i >= 0 && list.GetDisplayName(i) == e.displayName;
    }

    static std::string PortJson(const ComPortEntry& e) {
        std::string json = "{\"path\":" + Quote(e.path) + ",\"name\":" + Quote(e.displayName);
        const std::pair<const char*, const std::string*> fields[] = {
            {"device", &e.device},
            {"byId", &e.byId},
            {"vendorId", &e.vendorId},
            {"productId", &e.productId},
            {"manufacturer", &e.manufacturer},
            {"product", &e.product},
            {"serial", &e.serial}};
        for (const auto& [name, value] : fields)
            json += std::string(",\"") + name + "\":" + Quote(*value);
        return json + ",\"virtual\":" + Bool(e.isVirtual) + "}";
    }

    // A port: path, name and for an adapter its identity, tab-separated. While watching, a line
    // starts with + for a port that came and - for one that went; JSON gives an event object.
    void PrintPort(const ComPortEntry& e, char change) {
        if (m_o.json) {
            m_env.out << "{\"event\":" << (change == '+' ? "\"added\"" : "\"removed\"")
                      << ",\"port\":" << PortJson(e) << "}\n";
            return;
        }
        if (m_o.watch) m_env.out << change << ' ';
        const std::string identity = PortIdentityLine(e);
        m_env.out << Safe(e.path) << '\t' << Safe(e.displayName)
                  << (identity.empty() ? "" : "\t" + Safe(identity)) << '\n';
    }

    int Identify() {
        CModbusInterface master(m_settings);
        const Recording recording(*this, master);
        if (int rc = Connect(master)) return rc;
        CCancelWatcher watcher(master, m_env.interrupted);
        DeviceIdentity id;
        uint16_t firmware[3] = {0, 0, 0};
        try {
            master.Open();
            id = IdentifyDevice(master);
            firmware[0] = static_cast<uint16_t>(id.version >> 16);
            firmware[1] = static_cast<uint16_t>(id.version & 0xFFFF);
            master.ReadHoldingRegisters(kThirdVersionRegister, 1,
                                        std::span<uint16_t>(&firmware[2], 1));
            master.Close();
        } catch (const CPrivateException& e) {
            master.Close();
            return DeviceError(e, e.Message());
        }
        const CDevType types;
        const int entry = types.FindEntry(id.typeCode, id.version);
        if (entry < 0) {
            Err() << Msg("unknowndev", {int32_t{id.typeCode}}) << '\n';
            return EXIT_DEVICE;
        }
        const std::string firmwareText = FirmwareText(entry, id.version, firmware);
        const char* modelCode = CDevType::Entry(entry).modelCode;
        if (m_o.json) {
            m_env.out << FormatC("{\"typeCode\":%u,\"version\":", id.typeCode)
                      << Quote(VersionText(id.version)) << ",\"firmware\":" << Quote(firmwareText)
                      << ",\"modelCode\":" << Quote(modelCode)
                      << ",\"modelName\":" << Quote(types.LongName(entry)) << "}\n";
        } else {
            m_env.out << Msg("cli.identity",
                             {int32_t{id.typeCode}, VersionText(id.version), firmwareText,
                              std::string(modelCode), types.LongName(entry)})
                      << '\n';
        }
        return EXIT_SUCCESS_CODE;
    }

    // The connection step, then the whole settings model read from the device.
    int ReadDevice(std::unique_ptr<CDevInterface>& model) {
        CModbusInterface master(m_settings);
        const Recording recording(*this, master);
        if (int rc = Connect(master)) return rc;
        return Transfer(master, "uploading", [&](TransferProgress& progress) {
            model = ReadFromDevice(master, progress);
            return model != nullptr;
        });
    }

    int Upload() {
        if (int rc = CheckWritable(m_o.output)) return rc;
        std::unique_ptr<CDevInterface> model;
        if (int rc = ReadDevice(model)) return rc;
        return Save(*model, m_o.output);
    }

    int Download() {
        std::unique_ptr<CDevInterface> model;
        if (int rc = Load(m_o.input, model)) return rc;
        model->PrepareStore();
        std::vector<int> kept;
        if (int rc = KeptParameters(*model, kept)) return rc;
        if (!m_o.report.empty())
            if (int rc = CheckWritable(m_o.report)) return rc;
        // Refused before the port is opened: the device would stop the download part-way.
        if (auto problems = CheckValues(*model); !problems.empty()) {
            for (ValueProblem& problem : problems) {
                problem.label = Safe(problem.label);
                problem.value = Safe(problem.value);
            }
            return Refuse(DescribeRefusal(problems));
        }
        CModbusInterface master(m_settings);
        const Recording recording(*this, master);
        if (int rc = Connect(master)) return rc;
        if (!kept.empty())
            if (int rc = KeepDeviceValues(master, *model, kept)) return rc;

        CAppSettings app;
        app.Load();
        const bool verify = m_o.verify.value_or(app.GetVerifyAfterDownload());
        std::optional<VerifyResult> verification;
        int rc = Transfer(master, "downloading", [&](TransferProgress& progress) {
            return WriteAndVerify(master, *model, progress, verify, &verification);
        });
        // A failed read-back is worth a record too: the report says what differs.
        if (!m_o.report.empty() && (rc == EXIT_SUCCESS_CODE || verification)) {
            ReportData data =
                ReportOf(*model, PortText(m_settings), Msg("report.fromfile", {m_o.input}));
            data.verification = verification;
            data.device = DeviceInfoOf(master);
            if (int saved = WriteReport(data, m_o.report)) rc = rc ? rc : saved;
        }
        if (rc) return rc;
        if (!m_o.json) m_env.out << Msg(verify ? "cli.verified" : "cli.written") << '\n';
        return EXIT_SUCCESS_CODE;
    }

    // The parameters --keep names, in index order; a key the model lacks ends the command.
    int KeptParameters(const CDevInterface& model, std::vector<int>& kept) {
        for (const std::string& key : m_o.keep) {
            const int i = model.IndexOf(key);
            if (!model.Is(i, key) || model.At(i).Value().Count() == 0)
                return Usage(Msg("cli.unknownkey", {key, std::string(model.ModelCode())}));
            if (std::find(kept.begin(), kept.end(), i) == kept.end()) kept.push_back(i);
        }
        std::sort(kept.begin(), kept.end());
        return EXIT_SUCCESS_CODE;
    }

    // Reads the device and takes the kept parameters' values from it, each followed by the
    // model's rules as after an edit; the file itself stays as it is.
    int KeepDeviceValues(CModbusInterface& master, CDevInterface& model,
                         const std::vector<int>& kept) {
        std::unique_ptr<CDevInterface> device;
        if (int rc = Transfer(master, "uploading", [&](TransferProgress& progress) {
                device = ReadFromDevice(master, progress);
                return device != nullptr;
            }))
            return rc;
        try {
            AcceptForWriting(model, DeviceIdentity{device->TypeCode(), device->Version()});
        } catch (const CPrivateException& e) {
            Err() << Msg("comerr", {e.Message(), e.Message()}) << '\n';
            return EXIT_DEVICE;
        }
        std::string list;
        for (int i : kept) {
            CParInterface& p = model.At(i);
            p.SetValue(device->At(i).Value());
            model.OnChanged(i);
            if (!list.empty()) list += ", ";
            list +=
                p.GetLabel() + " [" + p.Key() + "] = " + model.AdjustText(i, p.GetDisplayText());
        }
        if (!m_o.json) m_env.out << Msg("cli.kept", {list}) << '\n';
        return EXIT_SUCCESS_CODE;
    }

    // ---- diff ----

    int Diff() {
        const std::vector<std::string> sides = m_o.DiffSides();
        std::unique_ptr<CDevInterface> models[2];
        for (size_t k = 0; k < 2; ++k) {
            const int rc = sides[k].empty() ? ReadDevice(models[k]) : Load(sides[k], models[k]);
            if (rc) return rc;
        }
        const CDevInterface &a = *models[0], &b = *models[1];
        const CDevType types;
        if (a.TypeCode() != b.TypeCode() || types.FindEntry(a.TypeCode(), a.Version()) !=
                                                types.FindEntry(b.TypeCode(), b.Version())) {
            Err() << Msg("diffdev") << '\n';
            return m_o.device ? EXIT_DEVICE : EXIT_FILE;
        }
        const std::vector<ModelRow> rowsA = ListModel(a), rowsB = ListModel(b);
        std::string group, text, json;
        bool groupShown = false;
        int differences = 0;
        for (size_t r = 0; r < rowsA.size() && r < rowsB.size(); ++r) {
            const ModelRow &ra = rowsA[r], &rb = rowsB[r];
            if (ra.group) {
                group = ra.label;
                groupShown = false;
                continue;
            }
            if (ra.text == rb.text) continue;
            ++differences;
            const char* key = a.At(ra.index).Key();
            if (!groupShown && !group.empty()) text += "[" + group + "]\n";
            groupShown = true;
            text += "  " + ra.label + " [" + key + "]: " + ra.text + " \u2192 " + rb.text + "\n";
            if (!json.empty()) json += ',';
            json += "{\"key\":" + Quote(key) + ",\"label\":" + Quote(ra.label) +
                    ",\"group\":" + Quote(group) + ",\"a\":" + Quote(ra.text) +
                    ",\"b\":" + Quote(rb.text) + "}";
        }
        if (m_o.json)
            m_env.out << "[" << json << "]\n";
        else
            m_env.out << text;
        return differences ? EXIT_DIFFERENT : EXIT_SUCCESS_CODE;
    }

    // ---- report ----

    int Report() {
        if (int rc = CheckWritable(m_o.output)) return rc;
        std::unique_ptr<CDevInterface> model;
        ReportData data;
        if (m_o.device) {
            CModbusInterface master(m_settings);
            if (int rc = Connect(master)) return rc;
            if (int rc = Transfer(master, "uploading", [&](TransferProgress& progress) {
                    model = ReadFromDevice(master, progress);
                    return model != nullptr;
                }))
                return rc;
            try {
                data = ReportOf(*model, PortText(m_settings), Msg("report.fromdevice"));
                data.device = ReadDeviceInfo(master);
            } catch (const CPrivateException& e) {
                return DeviceError(e, Msg("comerr", {e.Message(), e.Message()}));
            }
        } else {
            if (int rc = Load(m_o.operands[0], model)) return rc;
            data = ReportOf(*model, {}, Msg("report.fromfile", {m_o.operands[0]}));
        }
        return WriteReport(data, m_o.output);
    }

    static ReportData ReportOf(const CDevInterface& model, std::string port, std::string source) {
        ReportData data;
        data.made = std::time(nullptr);
        data.program = std::string(NORVELCO_PRODUCT_NAME) + " Version " + NORVELCO_VERSION;
        data.port = std::move(port);
        data.source = std::move(source);
        data.model = &model;
        return data;
    }

    // The unit's identification for a report; without it the report still lists the settings.
    std::optional<DeviceInfo> DeviceInfoOf(CModbusInterface& master) {
        if (Interrupted()) return std::nullopt;
        try {
            return ReadDeviceInfo(master);
        } catch (const CPrivateException& e) {
            if (!e.IsCancelled()) Err() << e.Message() << '\n';
        }
        return std::nullopt;
    }

    int WriteReport(const ReportData& data, const std::string& path) {
        try {
            platform::WriteFileReplacing(path, m_o.csv ? ReportCsv(data) : ReportHtml(data));
        } catch (const CPrivateException& e) {
            Err() << Msg("cli.cantwrite", {path, e.Message()}) << '\n';
            return EXIT_FILE;
        }
        if (!m_o.json) m_env.out << Msg("cli.reportsaved", {path}) << '\n';
        return EXIT_SUCCESS_CODE;
    }

    int New() {
        const std::string& code = m_o.operands[0];
        const int entry = FindModelEntry(code);
        if (entry < 0) {
            std::string codes;
            for (int i = 0; i < CDevType::EntryCount(); ++i)
                codes += (i ? ", " : "") + std::string(CDevType::Entry(i).modelCode);
            return Usage(Msg("cli.badmodel", {code, codes}));
        }
        if (int rc = CheckWritable(m_o.output)) return rc;
        std::unique_ptr<CDevInterface> model = CDevType().Create(entry, 0, DEV_SETTINGS);
        return Save(*model, m_o.output);
    }

    int ShowFile() {
        std::unique_ptr<CDevInterface> model;
        if (int rc = Load(m_o.operands[0], model)) return rc;
        PrintModel(*model);
        return EXIT_SUCCESS_CODE;
    }

    int ShowDevice() {
        std::unique_ptr<CDevInterface> model;
        if (int rc = ReadDevice(model)) return rc;
        PrintModel(*model);
        return EXIT_SUCCESS_CODE;
    }

    int Set() {
        const std::string& path = m_o.operands[0];
        std::unique_ptr<CDevInterface> model;
        if (int rc = Load(path, model)) return rc;
        for (size_t i = 1; i < m_o.operands.size(); ++i) {
            const std::string& assignment = m_o.operands[i];
            const size_t eq = assignment.find('=');
            if (int rc = Assign(*model, assignment.substr(0, eq), assignment.substr(eq + 1)))
                return rc;
        }
        return Save(*model, path);
    }

    int Monitor() {
        std::unique_ptr<CMonitorRecorder> recorder;
        if (!m_o.monitorCsv.empty()) {
            // A file that cannot be written is found before the device is bothered.
            if (int rc = CheckWritable(m_o.monitorCsv)) return rc;
            recorder = std::make_unique<CMonitorRecorder>(m_o.monitorCsv);
        }
        CModbusInterface master(m_settings);
        // The statistics follow every poll instead of closing the run.
        const Recording recording(*this, master, false);
        if (int rc = Connect(master)) return rc;
        CCancelWatcher watcher(master, m_env.interrupted);
        CCliConnectionUi ui(*this);
        std::optional<bool> lastOk;  // of the last poll that ran to its end
        for (int polls = 1;; ++polls) {
            try {
                std::unique_ptr<CDevInterface> model = PollMonitor(master, &m_env.interrupted);
                PrintPoll(*model);
                lastOk = true;
                if (recorder && !Record([&] { recorder->AddPoll(*model, MonitorClock::now()); }))
                    return EXIT_FILE;
            } catch (const CPrivateException& e) {
                if (Interrupted() || e.IsCancelled()) break;
                lastOk = false;
                if (recorder && !Record([&] { recorder->AddFailedPoll(MonitorClock::now()); }))
                    return EXIT_FILE;
                if (e.IsProtect()) {
                    try {
                        master.Open();
                        ui.AskPassword(master);
                    } catch (const CPrivateException& open) {
                        Err() << open.Message() << '\n';
                    }
                    master.Close();
                } else {
                    Err() << Msg("mon.err") << '\n' << e.Message() << '\n';
                }
            }
            if (m_o.stats) PrintStatistics(master.Statistics());
            if (m_o.count > 0 && polls >= m_o.count) break;
            if (!Pause(std::chrono::seconds(1))) break;
        }
        if (!lastOk) return Cancelled();
        return *lastOk ? EXIT_SUCCESS_CODE : EXIT_DEVICE;
    }

    // One line of a monitor recording; false (with the message) when the file fails.
    bool Record(const std::function<void()>& write) {
        try {
            write();
            return true;
        } catch (const CPrivateException& e) {
            Err() << e.Message() << '\n';
            return false;
        }
    }

    // ---- steps shared by the commands ----

    // The traffic log of --traffic on the master while the command uses it, and the statistics
    // of --stats once it is done, whatever the outcome.
    class Recording {
    public:
        Recording(Run& run, CModbusInterface& master, bool statsAtEnd = true)
            : m_run(run), m_master(master), m_statsAtEnd(statsAtEnd) {
            if (m_run.m_trafficWriter) master.AddTrafficListener(m_run.m_trafficWriter.get());
        }
        ~Recording() {
            if (m_run.m_trafficWriter) m_master.RemoveTrafficListener(m_run.m_trafficWriter.get());
            if (m_statsAtEnd && m_run.m_o.stats) m_run.PrintStatistics(m_master.Statistics());
        }
        Recording(const Recording&) = delete;
        Recording& operator=(const Recording&) = delete;

    private:
        Run& m_run;
        CModbusInterface& m_master;
        bool m_statsAtEnd;
    };

    int OpenTrafficLog() {
        if (m_o.traffic.empty()) return EXIT_SUCCESS_CODE;
        std::ostream* out = &m_env.err;
        if (m_o.traffic != "-") {
            m_trafficFile.open(m_o.traffic, std::ios::out | std::ios::trunc | std::ios::binary);
            if (!m_trafficFile) {
                const int error = errno;
                Err() << Msg("cli.cantwrite", {m_o.traffic, CMessageFormatter(error).Text()})
                      << '\n';
                return EXIT_FILE;
            }
            out = &m_trafficFile;
        }
        m_trafficWriter = std::make_unique<CTrafficWriter>(*out);
        return EXIT_SUCCESS_CODE;
    }

    void PrintStatistics(const modbus::TrafficStatistics& stats) {
        if (m_o.json)
            m_env.out << StatisticsJson(stats) << std::endl;
        else
            m_env.out << modbus::StatisticsText(stats) << std::endl;
    }

    int Usage(const std::string& message) {
        Err() << message << '\n' << Msg("cli.usage") << '\n';
        return EXIT_USAGE;
    }

    int Cancelled() {
        Err() << Msg("cli.cancelled") << '\n';
        return EXIT_CANCELLED;
    }

    // A device failure; the empty text of a cancelled exchange is the user's interrupt.
    int DeviceError(const CPrivateException& e, const std::string& text) {
        if (e.IsCancelled() || Interrupted()) return Cancelled();
        Err() << text << '\n';
        return EXIT_DEVICE;
    }

    // The connection step with the tool's answers; 0 when the command may go on.
    int Connect(CModbusInterface& master) {
        const bool serial = TraitsOfMode(m_settings.Mode).link == ModeTraits::SERIAL_RTU ||
                            TraitsOfMode(m_settings.Mode).link == ModeTraits::SERIAL_ASCII;
        if (serial && m_settings.COMPortName.empty()) return Usage(Msg("cli.noport"));
        CCliConnectionUi ui(*this);
        const bool ok = ConnectDevice(master, ui, m_settings, false);
        if (Interrupted()) return Cancelled();
        return ok ? EXIT_SUCCESS_CODE : EXIT_DEVICE;
    }

    // Runs a transfer with the progress bar and the interrupt watcher; 0 when it completed.
    int Transfer(CModbusInterface& master, const char* captionKey,
                 const std::function<bool(TransferProgress&)>& transfer) {
        CCancelWatcher watcher(master, m_env.interrupted);
        CCliProgress progress(m_env.terminal, Msg(captionKey), m_env.interrupted);
        int rc = EXIT_SUCCESS_CODE;
        try {
            if (!transfer(progress) || Interrupted()) rc = Cancelled();
        } catch (const CPrivateException& e) {
            rc = DeviceError(e, Msg("comerr", {e.Message(), e.Message()}));
        }
        // A write that stopped part-way left the device with old and new settings side by side.
        if (rc != EXIT_SUCCESS_CODE && progress.PartlyWritten())
            Err() << MixtureWarning(progress) << '\n';
        return rc;
    }

    // False once the user interrupted.
    bool Pause(std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            if (Interrupted()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return !Interrupted();
    }

    int Load(const std::string& path, std::unique_ptr<CDevInterface>& model) {
        try {
            model = LoadConfiguration(path);
        } catch (const CPrivateException& e) {
            Err() << Safe(path) << ": " << e.Message() << '\n';
            return EXIT_FILE;
        }
        return EXIT_SUCCESS_CODE;
    }

    int Save(CDevInterface& model, const std::string& path) {
        try {
            SaveConfiguration(model, path);
        } catch (const CPrivateException& e) {
            Err() << Safe(path) << ": " << e.Message() << '\n';
            return EXIT_FILE;
        }
        if (!m_o.json) m_env.out << Msg("cli.saved", {path}) << '\n';
        return EXIT_SUCCESS_CODE;
    }

    // Refuses an output path that cannot be written before any time is spent on the device.
    int CheckWritable(const std::string& path) {
        try {
            CheckSaveTarget(path);
        } catch (const CPrivateException& e) {
            Err() << Msg("cli.cantwrite", {Safe(path), e.Message()}) << '\n';
            return EXIT_FILE;
        }
        return EXIT_SUCCESS_CODE;
    }

    static int FindModelEntry(const std::string& code) {
        std::string upper = code;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (int entry = CDevType::FindModel(upper); entry >= 0) return entry;
        if (code.empty() || code.size() > 5 ||
            code.find_first_not_of("0123456789") != std::string::npos)
            return -1;
        const long typeCode = std::strtol(code.c_str(), nullptr, 10);
        if (typeCode > 0xFFFF) return -1;
        return CDevType().FindEntry(static_cast<uint16_t>(typeCode), 0);
    }

    // The firmware as the monitor's firmware row shows the three version words.
    static std::string FirmwareText(int entry, uint32_t version, const uint16_t (&words)[3]) {
        std::unique_ptr<CDevInterface> monitor = CDevType().Create(entry, version, DEV_MONITOR);
        if (monitor) {
            const int row = monitor->IndexOf("firmver");
            if (monitor->Is(row, "firmver")) {
                CParInterface& p = monitor->At(row);
                for (size_t k = 0; k < 3; ++k) p.Value().SetWord(k, words[k]);
                return p.GetText();
            }
        }
        return FormatC("%u.%u.%u", words[0], words[1], words[2]);
    }

    // ---- set ----

    int Refuse(const std::string& message) {
        Err() << message << '\n';
        return EXIT_VALUE;
    }

    int Assign(CDevInterface& model, const std::string& key, const std::string& value) {
        const int i = model.IndexOf(key);
        if (!model.Is(i, key))
            return Refuse(Msg("cli.unknownkey", {key, std::string(model.ModelCode())}));
        CParInterface& p = model.At(i);
        const uint32_t type = p.Type();
        const bool displayOnly = type == PAR_GROUP || type == PAR_MAC64 || type == PAR_VERSION ||
                                 type == PAR_VERSION_HEX || type > PAR_VERSION_HEX;
        if (displayOnly || (p.Flags() & PARF_READONLY))
            return Refuse(Msg("cli.readonly", {p.GetLabel(), key}));
        if (model.IsLocked(i)) return Refuse(Msg("cli.locked", {p.GetLabel(), key}));
        try {
            if (type == PAR_LIST16 || type == PAR_LIST32) {
                if (int rc = AssignListItem(p, value)) return rc;
            } else if (type == PAR_CHANNELS) {
                if (int rc = AssignChannels(p, value)) return rc;
            } else {
                p.SetText(value);
            }
        } catch (const CPrivateException& e) {
            return Refuse(e.Message());
        }
        model.OnChanged(i);
        return EXIT_SUCCESS_CODE;
    }

    // A list item by its value or by its text exactly as the list shows it.
    int AssignListItem(CParInterface& p, const std::string& value) {
        std::vector<std::pair<int32_t, std::string>> items;
        for (int position = 0; position < 1000; ++position) {
            const int32_t v = p.GetListValue(position);
            std::string text = p.FormatNumber(v);
            if (text.empty()) break;
            items.emplace_back(v, std::move(text));
        }
        std::optional<int32_t> number;
        const size_t digits = value.rfind('-', 0) == 0 ? 1 : 0;
        if (value.size() > digits && value.size() <= digits + 10 &&
            value.find_first_not_of("0123456789", digits) == std::string::npos) {
            const long long n = std::strtoll(value.c_str(), nullptr, 10);
            if (n >= INT32_MIN && n <= INT32_MAX) number = static_cast<int32_t>(n);
        }
        auto match = std::find_if(items.begin(), items.end(),
                                  [&](const auto& item) { return number == item.first; });
        if (match == items.end())
            match = std::find_if(items.begin(), items.end(),
                                 [&](const auto& item) { return value == item.second; });
        if (match == items.end()) {
            std::string choices;
            for (const auto& [v, text] : items)
                choices += FormatC("%s%d = ", choices.empty() ? "" : ", ", v) + text;
            return Refuse(Msg("cli.listvalue", {p.GetLabel(), value, choices}));
        }
        p.SetNumber(match->first);
        return EXIT_SUCCESS_CODE;
    }

    // Comma-separated channel numbers inside the parameter's range, stored ascending and followed
    // by zeros, as the channel editor delivers them; an empty value clears the set.
    int AssignChannels(CParInterface& p, const std::string& value) {
        const int lowest = static_cast<int>(p.Minimum() & 0xFFFF);
        const int highest = static_cast<int>((p.Minimum() >> 16) & 0xFFFF);
        const size_t room = std::min<size_t>(p.Value().Count(), 10);
        auto refuse = [&] {
            return Refuse(Msg("cli.channels", {p.GetLabel(), static_cast<int32_t>(room),
                                               int32_t{lowest}, int32_t{highest}}));
        };
        std::set<int> channels;
        const std::string trimmed = Trim(value);
        size_t start = 0;
        while (!trimmed.empty() && start <= trimmed.size()) {
            const size_t comma = std::min(trimmed.find(',', start), trimmed.size());
            const std::string item = Trim(trimmed.substr(start, comma - start));
            if (item.empty() || item.size() > 5 ||
                item.find_first_not_of("0123456789") != std::string::npos)
                return refuse();
            const int channel = std::stoi(item);
            if (channel < lowest || channel > highest) return refuse();
            channels.insert(channel);
            start = comma + 1;
        }
        if (channels.size() > room) return refuse();
        CParValue words = p.Value();
        size_t k = 0;
        for (int channel : channels) words.SetWord(k++, static_cast<uint16_t>(channel));
        for (; k < words.Count(); ++k) words.SetWord(k, 0);
        p.SetValue(words);
        return EXIT_SUCCESS_CODE;
    }

    static std::string Trim(const std::string& text) {
        const size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos) return {};
        return text.substr(first, text.find_last_not_of(" \t") - first + 1);
    }

    // ---- printing models ----

    // A value its parameter does not allow is marked on its row with what is allowed.
    void PrintRows(const CDevInterface& model) {
        std::vector<const ValueProblem*> problemOf(static_cast<size_t>(model.Count()), nullptr);
        const std::vector<ValueProblem> problems = CheckValues(model);
        for (const ValueProblem& problem : problems)
            problemOf[static_cast<size_t>(problem.index)] = &problem;
        for (const ModelRow& row : ListModel(model)) {
            if (row.group) {
                m_env.out << '[' << Safe(row.label) << "]\n";
                continue;
            }
            const ValueProblem* problem = problemOf[static_cast<size_t>(row.index)];
            // A list value without an entry has no text of its own: the raw value stands in.
            const std::string text = row.text.empty() && problem ? problem->value : row.text;
            m_env.out << "  " << Safe(row.label);
            if (m_o.keys) m_env.out << " [" << model.At(row.index).Key() << ']';
            m_env.out << ':' << (text.empty() ? "" : " ") << Safe(text);
            if (problem) m_env.out << "  " << Safe(Msg("val.mark", {problem->allowed}));
            m_env.out << '\n';
        }
    }

    void PrintModel(const CDevInterface& model) {
        const CDevType types;
        const int entry = types.FindEntry(model.TypeCode(), model.Version());
        if (m_o.json) {
            m_env.out << FormatC("{\"typeCode\":%u,\"version\":", model.TypeCode())
                      << Quote(VersionText(model.Version()))
                      << ",\"modelCode\":" << Quote(model.ModelCode())
                      << ",\"parameters\":" << ParametersJson(model) << "}\n";
            return;
        }
        m_env.out << Msg("cli.modelhead", {types.LongName(entry), std::string(model.ModelCode()),
                                           int32_t{model.TypeCode()}, VersionText(model.Version())})
                  << '\n';
        PrintRows(model);
    }

    void PrintPoll(const CDevInterface& model) {
        if (m_o.json) {
            m_env.out << FormatC("{\"typeCode\":%u,\"time\":", model.TypeCode()) << Quote(Now())
                      << ",\"parameters\":" << ParametersJson(model) << "}" << std::endl;
            return;
        }
        m_env.out << "--- " << Now() << " ---\n";
        PrintRows(model);
        m_env.out << std::flush;
    }

    static std::string Now() {
        const std::time_t t = std::time(nullptr);
        std::tm local{};
        localtime_r(&t, &local);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
        return text;
    }

    const Options& m_o;
    Environment& m_env;
    ComSettings m_settings;
    std::ofstream m_trafficFile;
    std::unique_ptr<CTrafficWriter> m_trafficWriter;
};

bool CCliConnectionUi::AskPassword(CModbusInterface& master) {
    std::string password;
    if (m_run.Opts().password) {
        password = *m_run.Opts().password;
    } else {
        std::optional<std::string> typed = m_run.Terminal().ReadPassword(Msg("cli.password"));
        if (!typed || m_run.Interrupted()) {
            if (!m_run.Interrupted()) m_run.Err() << Msg("stopcom") << '\n';
            return false;
        }
        password = *typed;
    }
    const std::string failure = SendPassword(master, password);
    if (failure.empty()) return true;
    m_run.Err() << Msg(failure) << '\n';
    return false;
}

void CCliConnectionUi::ShowError(const std::string& text) {
    // An empty text is an exchange the user cancelled; the caller reports that.
    if (!text.empty()) m_run.Err() << text << '\n';
}

// The settings store: the file the environment names, else the desktop Configurator's own store,
// so that the port chosen in its connect dialog serves here too.
void SelectSettingsStore() {
    if (const char* file = std::getenv("NORVELCO_SETTINGS"); file && *file) {
        SetSettingsFile(file);
        return;
    }
    const QSettings desktop(QSettings::IniFormat, QSettings::UserScope, "KOVALTRA",
                            NORVELCO_PRODUCT_NAME);
    SetSettingsFile(desktop.fileName().toStdString());
}

// Model rules may tell the user something while a file is loaded or a value set.
class NoticeToStream {
public:
    explicit NoticeToStream(std::ostream& err) {
        SetUserNoticeHook([&err](const std::string& text) { err << text << '\n'; });
    }
    ~NoticeToStream() { SetUserNoticeHook(nullptr); }
    NoticeToStream(const NoticeToStream&) = delete;
    NoticeToStream& operator=(const NoticeToStream&) = delete;
};

}  // namespace

int RunCli(const std::vector<std::string>& args, Environment& env) {
    SelectSettingsStore();
    g_resources.Init();
    std::string language = FindLanguageOption(args);
    if (language.empty()) {
        CAppSettings app;
        app.Load();
        language = app.GetLanguageFile();
    }
    try {
        g_resources.LoadLanguage(language);
    } catch (const CPrivateException& e) {
        env.err << e.Message() << '\n';
        return EXIT_FILE;
    }
    if (const int missing = g_resources.MissingTexts(); missing > 0)
        env.err << Msg("lang.missing", {Safe(language), int32_t{missing}}) << '\n';

    Options options;
    try {
        options = ParseCommandLine(args);
    } catch (const UsageError& e) {
        env.err << e.message << '\n' << Msg("cli.usage") << '\n';
        return EXIT_USAGE;
    }
    if (options.help) {
        env.out << Msg("cli.usage") << '\n';
        return EXIT_SUCCESS_CODE;
    }
    NoticeToStream notices(env.err);
    try {
        Run run(options, env);
        return run.Execute();
    } catch (const std::exception& e) {
        // Nothing above lets a failure through on purpose; report it rather than abort.
        env.err << e.what() << '\n';
        return EXIT_DEVICE;
    }
}

}  // namespace cli
