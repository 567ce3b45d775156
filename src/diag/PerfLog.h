#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tamro {

// Performance lines ("[PERF][Area] ..."): written only while TAMRO_PERF is on, to the diagnostic
// stream and appended to <local app data>/Tamro/Logs/perf.log with the local time in front.
// The file is opened and closed per line so it survives a crash and can be deleted while running;
// callers keep these lines out of per-frame paths unless a once-only or counting gate guards them.
class PerfLog {
  public:
    // The switch is read from the environment on the first call and cached for the process.
    static bool IsPerfEnabled();

    // Writes a finished line (callers include the trailing newline). Does not test the switch.
    static void WritePerfLine(const char* text);

    // Formats and writes a line, only when the switch is on.
    static void Write(const char* format, ...) __attribute__((format(printf, 1, 2)));

    // Path of perf.log, computed once (creating its folders); empty when there is no folder.
    static const std::string& LogFilePath();

    // On for a value of 1 to 7 characters that does not start with '0'.
    static bool ParseSwitch(const std::optional<std::string>& value);

    // "hh:mm:ss.mmm " followed by the message, as the file holds it.
    static std::string TimestampedLine(std::string_view message);
};

}  // namespace tamro
