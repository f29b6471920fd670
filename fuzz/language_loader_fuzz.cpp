// Feeds arbitrary bytes to the language loader and then looks texts up in what it kept: it must
// fail with its read error, never crash, leak or read out of bounds.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/private_exception.h"
#include "app/resource_database.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/dev/shm/norvelco-fuzz-" + std::to_string(::getpid()) + ".lng";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    CResourceDatabase db;
    db.Init();
    try {
        db.LoadLanguage(path);
    } catch (const CPrivateException&) {
    }
    // A rejected header still leaves the document in use, so the lookups run either way.
    (void)db.GetLanguageName();
    (void)db.GetMessageText("comerr");
    (void)db.GetGuiText(102, 1013);
    (void)db.GetParameterText("RB16KT5QA", "rate");
    (void)db.GetListItemText("RB16KT5QA", "rate", 3);
    (void)db.GetListItemValue("RB16KT5QA", "rate", 1);
    return 0;
}
