#include "platform/system/CpuLoad.h"

#include <fstream>
#include <sstream>

namespace tamro::platform {

CpuLoad::CpuLoad(StatReader reader) : m_reader(std::move(reader)) {
    if (auto stat = m_reader())
        m_last = Parse(*stat);
    // Until an interval has been counted, the best estimate is the average since boot.
    if (m_last && m_last->total > 0)
        m_lastFraction = static_cast<double>(m_last->busy) / static_cast<double>(m_last->total);
}

std::optional<double> CpuLoad::Sample() {
    const auto stat = m_reader();
    const auto now = stat ? Parse(*stat) : std::nullopt;
    if (!now)
        return std::nullopt;
    const auto previous = m_last;
    m_last = now;
    // Counters only grow; a first reading or one that went back (a new boot in a container
    // snapshot) has no interval to measure, so it counts from zero.
    const Ticks start = previous && previous->total <= now->total && previous->busy <= now->busy
                            ? *previous
                            : Ticks{};
    const uint64_t total = now->total - start.total;
    if (total == 0)
        return m_lastFraction;
    m_lastFraction = static_cast<double>(now->busy - start.busy) / static_cast<double>(total);
    return m_lastFraction;
}

std::optional<std::string> CpuLoad::ReadProcStat() {
    std::ifstream file("/proc/stat");
    std::string line;
    if (!std::getline(file, line))
        return std::nullopt;
    return line;
}

// "cpu  user nice system idle iowait irq softirq steal guest guest_nice". Guest time is already
// counted in user and nice, so it is left out of the total; idle and iowait are the idle part.
std::optional<CpuLoad::Ticks> CpuLoad::Parse(const std::string& stat) {
    std::istringstream in(stat);
    std::string label;
    in >> label;
    if (label != "cpu")
        return std::nullopt;
    uint64_t fields[8] = {};
    int count = 0;
    while (count < 8 && in >> fields[count])
        ++count;
    if (count < 4)
        return std::nullopt;
    Ticks ticks;
    for (int i = 0; i < count; ++i)
        ticks.total += fields[i];
    ticks.busy = ticks.total - fields[3] - fields[4];
    return ticks;
}

}  // namespace tamro::platform
