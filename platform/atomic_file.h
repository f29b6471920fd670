// Writing a whole file so that a reader never sees half of it and a failure keeps the old one.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Writes the file as SaveFileContents does: through a temporary file and a rename where that
// keeps the user's file as it was, else in place. Throws
// CPrivateException with the system's text for the failure.
void WriteFileReplacing(const std::string& path, std::string_view content);

}  // namespace platform
