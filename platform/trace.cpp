#include "platform/trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace platform {
namespace {

struct TraceState {
    std::mutex mutex;
    std::function<void(std::string_view)> sink;
    FILE* file = nullptr;
    bool configured = false;

    void Configure() {
        if (configured) return;
        configured = true;
        const char* where = std::getenv("NORVELCO_TRACE");
        if (!where || !*where) return;
        file = std::strcmp(where, "stderr") == 0 ? stderr : std::fopen(where, "a");
    }
};

TraceState& State() {
    static TraceState state;
    return state;
}

}  // namespace

bool TraceEnabled() {
    auto& s = State();
    std::lock_guard lock(s.mutex);
    s.Configure();
    return s.sink || s.file;
}

void Trace(std::string_view line) {
    // Every line ends in exactly one line break, whether the caller ended it or not.
    if (line.ends_with('\n')) line.remove_suffix(1);
    auto& s = State();
    std::lock_guard lock(s.mutex);
    s.Configure();
    if (s.sink) {
        s.sink(line);
    } else if (s.file) {
        std::fprintf(s.file, "%.*s\n", static_cast<int>(line.size()), line.data());
        std::fflush(s.file);
    }
}

void SetTraceSink(std::function<void(std::string_view)> sink) {
    auto& s = State();
    std::lock_guard lock(s.mutex);
    s.sink = std::move(sink);
}

}  // namespace platform
