// Diagnostic trace sink, off by default. NORVELCO_TRACE=stderr or NORVELCO_TRACE=/path/file turns
// it on. Trace lines are for developers only: never shown in a window, never holding a password.
#pragma once

#include <functional>
#include <string_view>

namespace platform {

bool TraceEnabled();
// One line; a line break at its end is the line's own, never doubled.
void Trace(std::string_view line);

// Tests capture trace lines; an empty function restores the environment's choice.
void SetTraceSink(std::function<void(std::string_view)> sink);

}  // namespace platform
