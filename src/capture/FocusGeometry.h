#pragma once

#include <cstdint>

#include "capture/FocusRect.h"

namespace tamro {

// Where the captured display lies on the desktop and the size it is recorded at.
struct FocusSurface {
    int32_t displayX = 0;
    int32_t displayY = 0;
    int32_t width = 1920;
    int32_t height = 1080;
    int32_t outputWidth = 1920;
    int32_t outputHeight = 1080;
};

// The rectangles of the focus zoom. Cursor positions are in surface coordinates (the display's
// top-left is 0, 0); the rectangles are in desktop coordinates and always even.
class FocusGeometry {
  public:
    static constexpr int32_t kMinimumWidth = 400;
    static constexpr int32_t kMinimumHeight = 300;

    FocusGeometry() = default;
    explicit FocusGeometry(const FocusSurface& surface) : m_surface(surface) {}

    const FocusSurface& Surface() const { return m_surface; }
    FocusRect Full() const;
    // The focus window around a cursor, `cropFraction` of the display wide, in the output's
    // aspect ratio, kept inside the display.
    FocusRect FocusAt(double cropFraction, double cursorX, double cursorY) const;
    // `from` shrunk by `factor` around the cursor (around its own centre when the cursor is
    // outside it), kept inside the display.
    FocusRect PulsePeak(const FocusRect& from, double factor, double cursorX, double cursorY) const;
    // Whether a rectangle is usable as the start of a zoom-out.
    bool IsPlausibleFocus(const FocusRect& rect) const;

  private:
    FocusSurface m_surface;
};

// The rectangle a fraction `e` of the way from `a` to `b`, rounded to even.
FocusRect InterpolateRect(const FocusRect& a, const FocusRect& b, double e);

// Easing of a zoom-in at progress p in [0, 1]: fast start, gentle arrival.
double EaseZoomIn(double p);
// Easing of a zoom-out: gentle at both ends.
double EaseZoomOut(double p);

}  // namespace tamro
