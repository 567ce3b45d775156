#pragma once

#include <cstdint>

#include "platform/display/Display.h"
#include "platform/gfx/Texture.h"

namespace tamro::platform {

// The built-in animated desktop: a gradient, shapes moving at different speeds, a running clock
// (minutes, seconds, milliseconds) and the frame number as bars, so a recording shows at a glance
// whether frames repeat, skip or stall.
// Threading: stateless; any thread.
class SyntheticScene {
  public:
    // Paints the `width` × `height` top-left part of `texture` (BGRA) for time `timeNs`.
    static void Paint(gfx::Texture& texture, uint32_t width, uint32_t height, int64_t timeNs,
                      uint64_t frameIndex);
    // Paints an arrow cursor with its tip at (x, y), clipped to the texture.
    static void PaintCursor(gfx::Texture& texture, int32_t x, int32_t y);
    // A cursor that glides between points of a 1920 × 1080 screen and rests at each, so that a
    // focus zoom has something to follow; repeats every 12 s.
    static CursorPosition CursorTour(int64_t timeNs);
    // Fills a rectangle (clipped), colour as 0xAARRGGBB.
    static void FillRect(gfx::Texture& texture, int32_t x, int32_t y, int32_t width, int32_t height,
                         uint32_t argb);
};

}  // namespace tamro::platform
