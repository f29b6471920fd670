#include "platform/atomic_file.h"

#include <string>

#include "platform/xml_reader_writer.h"

namespace platform {

// Reports are saved as configuration files are: links, mode and owner of an existing file stay.
void WriteFileReplacing(const std::string& path, std::string_view content) {
    SaveFileContents(path, std::string(content));
}

}  // namespace platform
