#include "capture/FocusGeometry.h"

#include <algorithm>
#include <cmath>

namespace tamro {

namespace {

// Nearest even integer, halves away from zero.
int32_t RoundToEven(double value) {
    return static_cast<int32_t>(std::round(value * 0.5)) * 2;
}

int32_t EvenExtent(double extent, int32_t minimum) {
    return std::max(minimum, RoundToEven(std::trunc(extent)));
}

// Upper bound first, so a window larger than the display sticks to its top-left corner.
double ClampUpperFirst(double value, double lower, double upper) {
    return std::max(std::min(value, upper), lower);
}

int32_t InterpolateEven(int32_t a, int32_t b, double e) {
    return static_cast<int32_t>(std::lround((a + (b - a) * e) * 0.5)) * 2;
}

}  // namespace

FocusRect FocusGeometry::Full() const {
    return {m_surface.displayX, m_surface.displayY, m_surface.width, m_surface.height};
}

FocusRect FocusGeometry::FocusAt(double cropFraction, double cursorX, double cursorY) const {
    const double surfaceWidth = m_surface.width;
    const double surfaceHeight = m_surface.height;
    // An output size not yet known takes the display's own shape.
    const double aspect = m_surface.outputWidth > 0 && m_surface.outputHeight > 0
                              ? static_cast<double>(m_surface.outputWidth) / m_surface.outputHeight
                              : surfaceWidth / std::max(1.0, surfaceHeight);
    const double unclampedWidth = surfaceWidth * cropFraction;
    const double width = std::min(surfaceWidth, std::max<double>(kMinimumWidth, unclampedWidth));
    const double height =
        std::min(surfaceHeight, std::max<double>(kMinimumHeight, unclampedWidth / aspect));
    const double left = ClampUpperFirst(cursorX, width / 2, surfaceWidth - width / 2) - width / 2;
    const double top =
        ClampUpperFirst(cursorY, height / 2, surfaceHeight - height / 2) - height / 2;
    return {RoundToEven(static_cast<int32_t>(left) + m_surface.displayX),
            RoundToEven(static_cast<int32_t>(top) + m_surface.displayY),
            EvenExtent(width, kMinimumWidth), EvenExtent(height, kMinimumHeight)};
}

FocusRect FocusGeometry::PulsePeak(const FocusRect& from, double factor, double cursorX,
                                   double cursorY) const {
    if (!(factor > 0))
        factor = 1;
    const double peakWidth = from.width / factor;
    const double peakHeight = from.height / factor;
    const double fromLeft = from.x - m_surface.displayX;
    const double fromTop = from.y - m_surface.displayY;
    const bool cursorInside = cursorX >= fromLeft && cursorX <= fromLeft + from.width &&
                              cursorY >= fromTop && cursorY <= fromTop + from.height;
    const double centreX = cursorInside ? cursorX : fromLeft + from.width / 2.0;
    const double centreY = cursorInside ? cursorY : fromTop + from.height / 2.0;
    const double left =
        std::max(std::min(centreX - peakWidth / 2, m_surface.width - peakWidth), 0.0);
    const double top =
        std::max(std::min(centreY - peakHeight / 2, m_surface.height - peakHeight), 0.0);
    return {RoundToEven(std::trunc(left) + m_surface.displayX),
            RoundToEven(std::trunc(top) + m_surface.displayY), EvenExtent(peakWidth, kMinimumWidth),
            EvenExtent(peakHeight, kMinimumHeight)};
}

bool FocusGeometry::IsPlausibleFocus(const FocusRect& rect) const {
    return rect.width >= kMinimumWidth && rect.height >= kMinimumHeight &&
           rect.width <= m_surface.width && rect.height <= m_surface.height;
}

FocusRect InterpolateRect(const FocusRect& a, const FocusRect& b, double e) {
    return {InterpolateEven(a.x, b.x, e), InterpolateEven(a.y, b.y, e),
            std::max(2, InterpolateEven(a.width, b.width, e)),
            std::max(2, InterpolateEven(a.height, b.height, e))};
}

double EaseZoomIn(double p) {
    p = std::clamp(p, 0.0, 1.0);
    return 1 - (1 - p) * (1 - p);
}

double EaseZoomOut(double p) {
    p = std::clamp(p, 0.0, 1.0);
    if (p < 0.5)
        return 2 * p * p;
    return 1 - (2 - 2 * p) * (2 - 2 * p) / 2;
}

}  // namespace tamro
