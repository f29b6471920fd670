// Feeds arbitrary bytes to the configuration file loader: it must fail with its error keys,
// never crash, leak or read out of bounds.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/private_exception.h"
#include "app/resource_database.h"
#include "session/config_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/dev/shm/norvelco-fuzz-" + std::to_string(::getpid()) + ".cfg";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    try {
        auto model = LoadConfiguration(path);
        if (model) {
            // A loaded model must also survive being listed and saved again.
            for (int i = 0; i < model->Count(); ++i)
                (void)model->AdjustText(i, model->At(i).GetDisplayText());
            SaveConfiguration(*model, path);
        }
    } catch (const CPrivateException&) {
    }
    return 0;
}
