#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tamro::platform {

// The busy fraction of all the machine's processors between two readings, from the kernel's
// cumulative time counters (the first line of /proc/stat).
// Threading: one thread at a time.
class CpuLoad {
  public:
    // Returns the text of /proc/stat, or nothing when it cannot be read.
    using StatReader = std::function<std::optional<std::string>()>;

    // Takes the first reading, so that the first Sample covers the time since construction.
    explicit CpuLoad(StatReader reader = ReadProcStat);

    // Busy fraction (0..1) since the previous reading; nothing when the counters cannot be read.
    // When no time has been counted since then (readings within one clock tick), the previous
    // fraction is repeated; before the first interval, that is the average since boot.
    std::optional<double> Sample();

    static std::optional<std::string> ReadProcStat();

  private:
    struct Ticks {
        uint64_t busy = 0;
        uint64_t total = 0;
    };
    static std::optional<Ticks> Parse(const std::string& stat);

    StatReader m_reader;
    std::optional<Ticks> m_last;
    double m_lastFraction = 0.0;
};

}  // namespace tamro::platform
