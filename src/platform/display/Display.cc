#include "platform/display/Display.h"

#include <limits>

namespace tamro::platform {

std::optional<MonitorInfo> Display::FindMonitor(uint64_t id) {
    const std::vector<MonitorInfo> monitors = Monitors();
    for (const MonitorInfo& monitor : monitors) {
        if (id == 0 ? monitor.primary : monitor.id == id)
            return monitor;
    }
    if (id == 0 && !monitors.empty())
        return monitors.front();
    return std::nullopt;
}

std::optional<MonitorInfo> NearestMonitor(const std::vector<MonitorInfo>& monitors,
                                          const WindowInfo& window) {
    const int64_t cx = window.x + static_cast<int64_t>(window.width) / 2;
    const int64_t cy = window.y + static_cast<int64_t>(window.height) / 2;
    std::optional<MonitorInfo> best;
    int64_t bestDistance = std::numeric_limits<int64_t>::max();
    for (const MonitorInfo& monitor : monitors) {
        const int64_t right = monitor.x + static_cast<int64_t>(monitor.width);
        const int64_t bottom = monitor.y + static_cast<int64_t>(monitor.height);
        const int64_t dx = cx < monitor.x ? monitor.x - cx : (cx >= right ? cx - right + 1 : 0);
        const int64_t dy = cy < monitor.y ? monitor.y - cy : (cy >= bottom ? cy - bottom + 1 : 0);
        const int64_t distance = dx * dx + dy * dy;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = monitor;
        }
    }
    return best;
}

}  // namespace tamro::platform
