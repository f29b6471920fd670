#include "session/config_file.h"

#include <climits>
#include <cstdlib>

#include "app/private_exception.h"
#include "model/dev_types.h"
#include "platform/text.h"
#include "platform/xml_reader_writer.h"

namespace {

// Leading space, an optional sign and decimal digits, as a 32-bit long reads them; 0 without
// digits.
int32_t ParseInt(const std::string& text) {
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

[[noreturn]] void Fail(const char* key) {
    throw CPrivateException(CPrivateException::Key{key});
}

}  // namespace

void SaveConfiguration(CDevInterface& model, const std::string& path) {
    model.PrepareStore();
    CXmlReaderWriter doc;
    doc.Create("root");
    doc.AddElement("/root", "application", "NORVELCO");
    doc.AddElement("/root", "filetype", "configuration");
    doc.AddElement("/root", "version", "1.1");
    doc.AddElement("/root", "device", platform::FormatC("%d", model.TypeCode()));
    doc.AddElement("/root", "devver",
                   platform::FormatC("%d", static_cast<int32_t>(model.Version())));
    for (int i = 0; i < model.Count(); ++i) {
        const CParValue& v = model.At(i).Value();
        for (size_t k = 0; k < v.Count(); ++k)
            doc.AddElement("/root", "parameter", platform::FormatC("%d", v.Word(k)), "adrs",
                           platform::FormatC("%d", static_cast<int>(v.Address() + k)));
    }
    doc.Save(path);
}

std::unique_ptr<CDevInterface> LoadConfiguration(const std::string& path) {
    CXmlReaderWriter doc;
    std::string version, device, devver;
    try {
        doc.Load(path);
        if (doc.GetText("/root/application") != "NORVELCO" ||
            doc.GetText("/root/filetype") != "configuration")
            Fail("illfileerr");
        version = doc.GetText("/root/version");
        // A file without the device identity is as unusable as one without a header.
        device = doc.GetText("/root/device");
        devver = doc.GetText("/root/devver");
    } catch (const CPrivateException&) {
        Fail("illfileerr");
    }
    if (version != "1.0" && version != "1.1") Fail("verfileerr");

    const uint16_t typeCode = static_cast<uint16_t>(ParseInt(device));
    const uint32_t ver = static_cast<uint32_t>(ParseInt(devver));
    std::unique_ptr<CDevInterface> model = CDevType().CreateFor(typeCode, ver, DEV_SETTINGS);
    if (!model) Fail("desfileerr");

    try {
        for (int i = 0; i < model->Count(); ++i) {
            CParValue& v = model->At(i).Value();
            for (size_t k = 0; k < v.Count(); ++k) {
                std::string text = doc.GetText(platform::FormatC(
                    "/root/parameter[@adrs='%d']", static_cast<int>(v.Address() + k)));
                v.SetWord(k, static_cast<uint16_t>(ParseInt(text)));
            }
            model->OnChanged(i);
        }
    } catch (const CPrivateException&) {
        Fail("desfileerr");
    }
    return model;
}
