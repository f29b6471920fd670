// Building models and producing the texts of the parameter list.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "app/resource_database.h"
#include "model/dev_types.h"
#include "model/model_listing.h"

namespace {

void LoadLanguageOnce() {
    static bool loaded = [] {
        g_resources.Init();
        g_resources.LoadLanguage("English.lng");
        return true;
    }();
    (void)loaded;
}

void BM_BuildModel(benchmark::State& state) {
    const int entry = static_cast<int>(state.range(0));
    const int factory = static_cast<int>(state.range(1));
    CDevType types;
    for (auto _ : state) {
        auto model = types.Create(entry, 0, factory);
        benchmark::DoNotOptimize(model.get());
    }
    state.SetLabel(std::string(CDevType::Entry(entry).modelCode) +
                   (factory == DEV_SETTINGS ? " settings" : " monitor"));
}
BENCHMARK(BM_BuildModel)->ArgsProduct({{0, 1, 2, 3, 4, 5, 6}, {DEV_SETTINGS, DEV_MONITOR}});

// The 37 rows of the analogue input unit: every label and value text through the language file.
void BM_ListLargestModel(benchmark::State& state) {
    LoadLanguageOnce();
    auto model = CDevType().Create(CDevType::FindModel("RB16T5-SQ7_2"), 0, DEV_SETTINGS);
    for (auto _ : state) {
        auto rows = ListModel(*model);
        benchmark::DoNotOptimize(rows.data());
    }
    state.counters["rows"] = model->Count();
}
BENCHMARK(BM_ListLargestModel)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
