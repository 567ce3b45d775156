#pragma once

#include <cstdint>

namespace tamro::platform {

// System error code of a magnification request this desktop cannot carry out.
inline constexpr uint32_t kMagnificationNotSupported = 50;

// Full-screen magnification of the desktop: `zoom` with the view's top-left at (offsetX,
// offsetY). 0 when applied, otherwise a system error code. X11 has no compositor-independent
// way to do this, so here every request is refused.
uint32_t SetFullscreenMagnification(double zoom, int32_t offsetX, int32_t offsetY);

// Releases what the magnification requests acquired.
void UninitializeMagnification();

}  // namespace tamro::platform
