#pragma once

#include <cstdarg>
#include <string>

namespace tamro {

// Formats printf-style into a bounded line; longer messages are truncated, never fail.
std::string FormatLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatLineV(const char* format, va_list args);

// An ordinary log line ("[ClassName] ..."), written to the diagnostic stream whatever the
// configuration.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tamro
