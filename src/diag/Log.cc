#include "diag/Log.h"

#include <cstdio>

#include "platform/system/DebugOutput.h"

namespace tamro {
namespace {

// Long enough for a path or an exception text; the rest is cut.
constexpr int kLineBufferChars = 1024;

}  // namespace

std::string FormatLineV(const char* format, va_list args) {
    char buffer[kLineBufferChars];
    const int written = std::vsnprintf(buffer, sizeof(buffer), format, args);
    if (written < 0) {
        return {};
    }
    return std::string(buffer, written < kLineBufferChars ? written : kLineBufferChars - 1);
}

std::string FormatLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = FormatLineV(format, args);
    va_end(args);
    return line;
}

void LogLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string line = FormatLineV(format, args);
    va_end(args);
    platform::WriteDebugOutput(line);
}

}  // namespace tamro
