// The desktop program on the offscreen platform: its start until the main window is first painted
// (the program started as a process each time), its resident memory after an upload and after an
// hour's worth of monitor polls (3600, run without the second between them against the simulator),
// and the parameter list's refresh of the largest model.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/desktop/main_dialog.h"
#include "app/resource_database.h"
#include "app/settings.h"
#include "child_process.h"
#include "model/dev_types.h"
#include "modbus/framing.h"
#include "modbus/modbus_interface.h"
#include "test_support.h"
#include "tools/devsim/device_sim.h"
#include "ui/monitor_dialog.h"
#include "ui/parameter_list.h"
#include "ui/window_utils.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kFirstPaintMode = "--first-paint-since";
constexpr const char* kLargestModel = "RB16T5-SQ7_2";

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Resident memory of this process in KiB.
long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Quits the program once the window's first paint is done, printing the milliseconds since the
// parent started it (the monotonic clock is the same in both processes).
class FirstPaintProbe : public QObject {
public:
    explicit FirstPaintProbe(int64_t startNs) : m_startNs(startNs) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            // Queued: the children paint in the same pass, before this runs.
            QTimer::singleShot(0, [this] {
                std::printf("%.3f\n", (NowNs() - m_startNs) / 1e6);
                std::fflush(stdout);
                QCoreApplication::exit(0);
            });
        }
        return false;
    }

private:
    int64_t m_startNs;
    bool m_seen = false;
};

// The desktop program's own start, as its main does it, in a settings folder of its own.
int RunUntilFirstPaint(int argc, char** argv, int64_t startNs) {
    testing_support::TempDir settings;
    SetSettingsFile(settings.File("NORVELCO.conf"));
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("KOVALTRA");
    InstallUserNoticeOnUiThread();
    app.setQuitOnLastWindowClosed(false);
    CNorveltDlg dialog;
    FirstPaintProbe probe(startNs);
    dialog.installEventFilter(&probe);
    dialog.show();
    return app.exec();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void BM_StartToFirstPaint(benchmark::State& state) {
    std::vector<double> ms;
    for (auto _ : state) {
        testing_support::ChildProcess child(
            testing_support::ChildProcess::Program("desktop_bench"),
            {kFirstPaintMode, std::to_string(NowNs())}, {"QT_QPA_PLATFORM=offscreen"});
        const int status = child.Finish(30000);
        if (status != 0) {
            state.SkipWithError(("first-paint run failed: " + child.err).c_str());
            return;
        }
        ms.push_back(std::atof(child.out.c_str()));
    }
    state.counters["first_paint_ms"] = Median(ms);
    state.counters["fastest_ms"] = *std::min_element(ms.begin(), ms.end());
    state.counters["slowest_ms"] = *std::max_element(ms.begin(), ms.end());
}
BENCHMARK(BM_StartToFirstPaint)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(15);

// The connection step answered at once: the simulated port, no password.
class ChosenPort : public ConnectionUi {
public:
    bool ChoosePort(ComSettings& s) override {
        s.COMPortName = "/dev/simulated";
        return true;
    }
    bool AskPassword(CModbusInterface&) override { return false; }
    void ShowError(const std::string&) override {}
};

// The simulator behind the master, in-process and unpaced. It keeps nothing of the traffic, so
// that it adds nothing to the memory measured; it tells each read of the type register, with which
// every poll starts.
class SimulatorLine : public CByteTransport {
public:
    explicit SimulatorLine(devsim::CDeviceSim& sim) : m_sim(sim) {}
    void Open(const ComSettings&) override {}
    void Close() override {}
    void SetReadTimeout(uint32_t) override {}
    void SetReadTimeouts(uint32_t, uint32_t) override {}
    size_t Read(uint8_t* buffer, size_t n) override {
        n = std::min(n, m_pending.size());
        std::copy_n(m_pending.begin(), n, buffer);
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }
    size_t Write(const uint8_t* buffer, size_t n) override {
        std::vector<uint8_t> frame(buffer, buffer + n);
        if (!modbus::RtuCrcOk(frame)) return n;
        frame.resize(frame.size() - 2);
        if (frame[1] == modbus::FC_READ_HOLDING_REGISTERS && frame[2] == 3003 >> 8 &&
            frame[3] == (3003 & 0xFF) && onTypeRead)
            onTypeRead(++typeReads);
        if (auto reply = m_sim.Handle(frame, devsim::Clock::now())) {
            const auto framed = modbus::RtuFrame(*reply);
            m_pending.insert(m_pending.end(), framed.begin(), framed.end());
        }
        return n;
    }

    int typeReads = 0;
    std::function<void(int)> onTypeRead;  // on the thread that uses the master

private:
    devsim::CDeviceSim& m_sim;
    std::vector<uint8_t> m_pending;
};

// One upload of the largest model through the main window, then an hour's worth of polls of the
// monitor window it opens.
void BM_ResidentMemory(benchmark::State& state) {
    constexpr int kPolls = 3600;
    devsim::SimConfig config;
    config.entry = CDevType::FindModel(kLargestModel);
    devsim::CDeviceSim sim(config);
    auto owned = std::make_unique<SimulatorLine>(sim);
    SimulatorLine& line = *owned;
    auto master = std::make_unique<CModbusInterface>(ComSettings{}, std::move(owned));
    master->SetSleepFunction([](uint32_t) {});
    ChosenPort ui;
    const long atStart = ResidentKiB();
    long afterUpload = 0, afterTenPolls = 0, afterPolls = 0;
    for (auto _ : state) {
        CNorveltDlg dialog(std::move(master));
        dialog.SetConnectionUi(&ui);
        dialog.show();
        dialog.OnCommand(CMD_UPLOAD);
        QCoreApplication::processEvents();
        afterUpload = ResidentKiB();

        dialog.SetMonitorRunner([&](CModbusInterface& connected) {
            CMonitorDialog monitor(&dialog, {0, 250});
            const int first = line.typeReads;  // the connection step's probe
            line.onTypeRead = [&](int reads) {
                const int started = reads - first;
                if (started == 11) afterTenPolls = ResidentKiB();
                // The next poll starts: an hour's worth has been shown.
                if (started == kPolls + 1) {
                    afterPolls = ResidentKiB();
                    QMetaObject::invokeMethod(&monitor, [&] { monitor.reject(); });
                }
            };
            monitor.Run(connected);
            line.onTypeRead = nullptr;
        });
        dialog.OnCommand(CMD_MONITOR);
    }
    state.counters["rss_start_kib"] = static_cast<double>(atStart);
    state.counters["rss_after_upload_kib"] = static_cast<double>(afterUpload);
    state.counters["rss_after_10_polls_kib"] = static_cast<double>(afterTenPolls);
    state.counters["rss_after_3600_polls_kib"] = static_cast<double>(afterPolls);
}
BENCHMARK(BM_ResidentMemory)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

// The list shows the largest model anew (rows rebuilt), and once more with the same rows (what a
// monitor poll does).
void BM_ListRefreshLargestModel(benchmark::State& state) {
    const bool clearRows = state.range(0) != 0;
    auto model = std::shared_ptr<CDevInterface>(
        CDevType().Create(CDevType::FindModel(kLargestModel), 0, DEV_SETTINGS));
    CParameterListCtrl list;
    list.resize(800, 700);
    list.Initialize();
    list.show();
    list.SetModel(model, true);
    for (auto _ : state) {
        list.SetModel(model, clearRows);
        QCoreApplication::processEvents();
    }
    state.SetLabel(clearRows ? "rows rebuilt" : "same rows");
    state.counters["rows"] = model->Count();
}
BENCHMARK(BM_ListRefreshLargestModel)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (argc == 3 && std::strcmp(argv[1], kFirstPaintMode) == 0)
        return RunUntilFirstPaint(argc, argv, std::atoll(argv[2]));
    testing_support::TempDir settings;
    SetSettingsFile(settings.File("NORVELCO.conf"));
    QApplication app(argc, argv);
    g_resources.Init();
    g_resources.LoadLanguage("English.lng");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
