#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace zarvo {

// Writes one plain sentence as a line of the system log (standard error). Safe from any thread.
void logLine(std::string_view line);

// Replaces where log lines go; an empty sink restores standard error. Tests use this to read
// what was logged.
void setLogSink(std::function<void(const std::string&)> sink);

}  // namespace zarvo
