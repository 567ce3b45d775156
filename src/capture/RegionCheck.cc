#include "capture/RegionCheck.h"

#include <algorithm>

namespace tamro {
namespace {

std::string Size(int64_t width, int64_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

std::string Rectangle(int64_t x, int64_t y, int64_t width, int64_t height) {
    return std::to_string(x) + "," + std::to_string(y) + " " + Size(width, height);
}

std::string Rectangle(const CaptureRect& r) {
    return Rectangle(r.X, r.Y, r.Width, r.Height);
}

std::string Rectangle(const MonitorBounds& m) {
    return Rectangle(m.left, m.top, m.width, m.height);
}

}  // namespace

RegionCheck::RegionCheck(const CaptureRect& requested, const MonitorBounds& monitor)
    : m_requested(requested), m_monitor(monitor) {
    // In 64 bits, so that a far-off origin plus its size cannot wrap back onto the monitor.
    const int64_t left = std::max<int64_t>(requested.X, 0);
    const int64_t top = std::max<int64_t>(requested.Y, 0);
    const int64_t right = std::min<int64_t>(int64_t{requested.X} + requested.Width, monitor.width);
    const int64_t bottom =
        std::min<int64_t>(int64_t{requested.Y} + requested.Height, monitor.height);
    const int64_t width = std::max<int64_t>(right - left, 0);
    const int64_t height = std::max<int64_t>(bottom - top, 0);
    static_assert(kMinimumCropSize % 2 == 0, "a side reaches the minimum before or after rounding");
    if (width >= kMinimumCropSize && height >= kMinimumCropSize) {
        m_clamped =
            CaptureRect{static_cast<int32_t>(left), static_cast<int32_t>(top),
                        static_cast<int32_t>(width / 2 * 2), static_cast<int32_t>(height / 2 * 2)};
        return;
    }
    const std::string onMonitor = width == 0 || height == 0
                                      ? " is outside monitor "
                                      : " has only " + Size(width, height) + " on monitor ";
    m_refusal = "Region " + Rectangle(requested) + onMonitor + Rectangle(monitor) +
                " (region relative to the monitor's top-left corner; at least " +
                Size(kMinimumCropSize, kMinimumCropSize) + " must lie on it)";
}

bool RegionCheck::WasClamped() const {
    return Accepted() &&
           (m_clamped.X != m_requested.X || m_clamped.Y != m_requested.Y ||
            m_clamped.Width != m_requested.Width || m_clamped.Height != m_requested.Height);
}

std::string RegionCheck::ClampLine() const {
    return "Region " + Rectangle(m_requested) + " clamped to " + Rectangle(m_clamped) +
           " to fit monitor " + Rectangle(m_monitor);
}

}  // namespace tamro
