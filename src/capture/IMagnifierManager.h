#pragma once

#include <cstdint>

namespace tamro {

// Offset of the magnified view's top-left corner, in display pixels.
struct MagnifierOffset {
    int32_t x = 0;
    int32_t y = 0;

    friend bool operator==(const MagnifierOffset&, const MagnifierOffset&) = default;
};

// Full-screen magnifier the focus zoom drives instead of cropping while it reports itself
// enabled.
// Threading: any thread; an animation runs on a thread of its own.
class IMagnifierManager {
  public:
    virtual ~IMagnifierManager() = default;

    virtual bool IsEnabled() const = 0;
    virtual bool IsAnimating() const = 0;
    virtual double CurrentZoom() const = 0;
    // Animates from the current zoom to `zoom` (clamped to [1, 10]) around a display point.
    virtual void ZoomTo(double zoom, double centerX, double centerY, int32_t width, int32_t height,
                        double durationMs) = 0;
    // The view offset that centres a view of `zoom` on a point, kept inside the display.
    virtual MagnifierOffset ComputeOffset(double centerX, double centerY, int32_t width,
                                          int32_t height, double zoom) const = 0;
    // One transform change; false (and a log line) when the system refuses it.
    virtual bool ApplyTransform(double zoom, int32_t x, int32_t y) = 0;
    // Ends an animation and restores the unmagnified screen.
    virtual void Stop() = 0;
};

}  // namespace tamro
