// Uploading the largest settings model from the simulator at real wire pace (38400 bit/s, 8O1),
// against the least time the protocol allows: the wire time of every request and reply, the
// drain before each request and the silent pause after each reply.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>

#include "app/resource_database.h"
#include "modbus/modbus_interface.h"
#include "model/dev_types.h"
#include "model/modbus_mapping.h"
#include "session/device_session.h"
#include "sim_process.h"

namespace {

constexpr int kRate = 38400;
constexpr double kBitsPerChar = 11;  // start, 8 data, parity, stop

// Least time of one read of n registers: request 8 bytes, reply 5 + 2n bytes, 1 ms drain,
// floor(120000 / rate) + 1 ms pause.
double LeastReadSeconds(int n) {
    const double wire = (8 + 5 + 2.0 * n) * kBitsPerChar / kRate;
    return wire + 0.001 + (120000 / kRate + 1) / 1000.0;
}

double LeastUploadSeconds(const CDevInterface& model) {
    double total = LeastReadSeconds(1) + LeastReadSeconds(2);  // identification
    CModbusMapping image;
    image.AddModel(model);
    for (const CParValue& block : image.Blocks()) total += LeastReadSeconds(block.Count());
    return total;
}

void BM_UploadLargestModelPaced(benchmark::State& state) {
    g_resources.Init();
    g_resources.LoadLanguage("English.lng");
    const std::string runtime =
        std::filesystem::temp_directory_path() / ("norvelco-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(runtime);
    testing_support::SimProcess sim({"--type", "RB16T5-SQ7_2", "--pace", std::to_string(kRate)},
                                    runtime);
    if (sim.Port().empty()) {
        state.SkipWithError("simulator did not start");
        return;
    }
    ComSettings line;
    line.COMPortName = sim.Port();
    line.Baudrate = 5;
    line.Character = 1;
    line.Parity = PARITY_ODD;
    CModbusInterface master(line);
    TransferProgress progress;
    const double least = LeastUploadSeconds(
        *CDevType().Create(CDevType::FindModel("RB16T5-SQ7_2"), 0, DEV_SETTINGS));
    double measured = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto model = ReadFromDevice(master, progress);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        measured += took.count();
        benchmark::DoNotOptimize(model.get());
    }
    state.counters["least_ms"] = least * 1000;
    state.counters["measured_ms"] = measured / static_cast<double>(state.iterations()) * 1000;
    state.counters["ratio"] = measured / static_cast<double>(state.iterations()) / least;
    sim.Stop();
    std::filesystem::remove_all(runtime);
}
BENCHMARK(BM_UploadLargestModelPaced)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
