#pragma once

#include <cstdint>
#include <string>

#include "tamro/Records.h"

namespace tamro {

// Smallest crop on each side, after clamping: less would be scaled up into a blur.
inline constexpr int32_t kMinimumCropSize = 100;

// A monitor's rectangle; left and top in desktop pixels.
struct MonitorBounds {
    int32_t left = 0;
    int32_t top = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// Decides what a recording region records on its monitor. The region counts from the monitor's
// top-left corner; only the part of it lying on the monitor is recorded, with even sizes, and
// that part must be at least kMinimumCropSize each way. Anything less would record the whole
// monitor instead, so it is refused.
class RegionCheck {
  public:
    RegionCheck(const CaptureRect& requested, const MonitorBounds& monitor);

    bool Accepted() const { return m_refusal.empty(); }
    // What to crop, relative to the monitor; only meaningful when accepted.
    const CaptureRect& Clamped() const { return m_clamped; }
    bool WasClamped() const;
    // One line naming the region, the monitor and why; empty when accepted.
    const std::string& Refusal() const { return m_refusal; }
    // One line naming the requested and the clamped rectangles.
    std::string ClampLine() const;

  private:
    CaptureRect m_requested;
    MonitorBounds m_monitor;
    CaptureRect m_clamped;
    std::string m_refusal;
};

}  // namespace tamro
