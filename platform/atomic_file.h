// Writing a whole file so that a reader never sees half of it and a failure keeps the old one.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Writes a temporary file beside the path and renames it over the path. Throws
// CPrivateException with the system's text for the failure.
void WriteFileReplacing(const std::string& path, std::string_view content);

}  // namespace platform
