// Uploading the largest settings model with norvelco-cli run as a process, against the simulator
// at real wire pace (38400 bit/s, 8O1): the connection probe, the identification and every block,
// over the least time the protocol allows for them. The program's own start-up, taken from the same
// program asked only for its usage, is subtracted. Medians of the runs, so that a build on another
// core does not decide the figure.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "model/dev_types.h"
#include "model/modbus_mapping.h"
#include "sim_process.h"

namespace {

constexpr int kRate = 38400;
constexpr double kBitsPerChar = 11;  // start, 8 data, parity, stop
constexpr const char* kModel = "RB16T5-SQ7_2";

// Least time of one read of n registers: request 8 bytes, reply 5 + 2n bytes, 1 ms drain,
// floor(120000 / rate) + 1 ms pause.
double LeastReadSeconds(int n) {
    const double wire = (8 + 5 + 2.0 * n) * kBitsPerChar / kRate;
    return wire + 0.001 + (120000 / kRate + 1) / 1000.0;
}

// The probe, the two identification reads and every block of the model.
double LeastUploadSeconds() {
    auto model = CDevType().Create(CDevType::FindModel(kModel), 0, DEV_SETTINGS);
    double total = LeastReadSeconds(1) + LeastReadSeconds(1) + LeastReadSeconds(2);
    CModbusMapping image;
    image.AddModel(*model);
    for (const CParValue& block : image.Blocks()) total += LeastReadSeconds(block.Count());
    return total;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Seconds from the start of the program to its end; negative when it failed.
double RunSeconds(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    const auto start = std::chrono::steady_clock::now();
    testing_support::ChildProcess cli(testing_support::ChildProcess::Program("norvelco-cli"), args,
                                      env);
    const int status = cli.Finish(30000);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return status == 0 ? took.count() : -1;
}

void BM_CliUploadLargestModelPaced(benchmark::State& state) {
    namespace fs = std::filesystem;
    // Beside nothing of the user's: its own settings file and runtime folder, the output on tmpfs
    // when there is one (the saved file is synced to disk, which is not what is measured here).
    const fs::path runtime =
        fs::temp_directory_path() / ("norvelco-clibench-" + std::to_string(getpid()));
    fs::create_directories(runtime);
    const fs::path out = (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : runtime) /
                         ("norvelco-clibench-" + std::to_string(getpid()) + ".cfg");
    testing_support::SimProcess sim({"--type", kModel, "--pace", std::to_string(kRate)},
                                    runtime.string());
    if (sim.Port().empty()) {
        state.SkipWithError("simulator did not start");
        return;
    }
    const std::vector<std::string> env = {"NORVELCO_SETTINGS=" + (runtime / "cli.ini").string(),
                                          "XDG_RUNTIME_DIR=" + runtime.string()};
    const std::vector<std::string> common = {"--language", "English.lng"};
    std::vector<std::string> upload = common;
    upload.insert(upload.end(), {"--port", sim.Port(), "--mode", "rtu", "--address", "1",
                                 "--baud", std::to_string(kRate), "--parity", "odd",
                                 "--data-bits", "8", "--stop-bits", "1", "upload", "-o",
                                 out.string()});
    std::vector<std::string> usage = common;
    usage.push_back("--help");

    const double least = LeastUploadSeconds();
    std::vector<double> uploads, startups;
    for (auto _ : state) {
        const double s = RunSeconds(usage, env);
        const double u = RunSeconds(upload, env);
        if (s < 0 || u < 0) {
            state.SkipWithError("norvelco-cli failed");
            break;
        }
        startups.push_back(s);
        uploads.push_back(u);
    }
    sim.Stop();
    fs::remove(out);
    fs::remove_all(runtime);
    if (uploads.empty()) return;
    const double startup = Median(startups), total = Median(uploads);
    state.counters["least_ms"] = least * 1000;
    state.counters["startup_ms"] = startup * 1000;
    state.counters["process_ms"] = total * 1000;
    state.counters["fastest_ms"] = *std::min_element(uploads.begin(), uploads.end()) * 1000;
    state.counters["slowest_ms"] = *std::max_element(uploads.begin(), uploads.end()) * 1000;
    state.counters["ratio"] = (total - startup) / least;
}
BENCHMARK(BM_CliUploadLargestModelPaced)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(21);

}  // namespace

BENCHMARK_MAIN();
