// Prints every model of the catalogue as the Configurator lists it, with the texts of a
// language file: norvelco-models [LANGUAGE-FILE]
#include <cstdio>
#include <string>

#include "app/private_exception.h"
#include "app/resource_database.h"
#include "model/dev_types.h"
#include "model/model_listing.h"

int main(int argc, char** argv) {
    const std::string language = argc > 1 ? argv[1] : "English.lng";
    g_resources.Init();
    try {
        g_resources.LoadLanguage(language);
    } catch (const CPrivateException& e) {
        std::fprintf(stderr, "%s\n", e.Message().c_str());
        return 3;
    }
    CDevType types;
    for (int entry = 0; entry < CDevType::EntryCount(); ++entry) {
        for (int kind : {DEV_SETTINGS, DEV_MONITOR}) {
            auto model = types.Create(entry, 0, kind);
            std::printf("== %s (%s, type code %u, %s) ==\n", types.LongName(entry).c_str(),
                        CDevType::Entry(entry).modelCode, model->TypeCode(),
                        kind == DEV_SETTINGS ? "settings" : "monitor");
            for (const ModelRow& row : ListModel(*model)) {
                if (row.group)
                    std::printf("[%s]\n", row.label.c_str());
                else
                    std::printf("  %-36s %s\n", row.label.c_str(), row.text.c_str());
            }
            std::printf("\n");
        }
    }
    return 0;
}
