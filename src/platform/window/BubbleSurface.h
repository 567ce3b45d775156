#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/gfx/Device.h"
#include "platform/gfx/Texture.h"

namespace tamro::platform::window {

// The application's bubble window as a drawing target: one back buffer the caller draws the
// bubble into (BGRA8, premultiplied alpha, 0 outside the shape), shown by Present.
//
// Where the window can show alpha (a 32-bit visual with a compositing manager running), the
// transparent pixels show the desktop behind it. Otherwise the window is cut to the pixels whose
// alpha is at least one half, so that its corners are never painted black.
//
// Threading: one thread at a time (the preview's frame thread).
class BubbleSurface {
  public:
    virtual ~BubbleSurface() = default;

    // Prepares drawing width x height pixels into the window, with the back buffer made on
    // `device`. False with `*failedStep` naming the step that failed (a short name such as
    // "XOpenDisplay", stable across calls, for the log).
    virtual bool Open(gfx::Device* device, uint32_t width, uint32_t height,
                      std::string* failedStep) = 0;
    // A new back buffer of width x height; the old one is released. A result code.
    virtual int32_t Resize(uint32_t width, uint32_t height) = 0;
    // The back buffer, bound as a render target; valid until Resize or destruction.
    virtual gfx::Texture* BackBuffer() = 0;
    // Shows the back buffer. `shapeChanged`: the shape drawn differs from the last present's, so
    // a window that is cut to the shape is cut anew. A result code; a failure (the window was
    // destroyed, the display connection was lost) is for good.
    virtual int32_t Present(bool shapeChanged) = 0;
    // Whether the window shows the back buffer's alpha; false when it is cut to the shape.
    virtual bool ShowsAlpha() const = 0;
};

// Makes the surface for an application's window id; null when the platform has none.
using BubbleSurfaceFactory = std::function<std::unique_ptr<BubbleSurface>(uint64_t window)>;

// The X11 surface: MIT-SHM puts into the window, on the display named by $DISPLAY.
std::unique_ptr<BubbleSurface> CreateX11BubbleSurface(uint64_t window);

}  // namespace tamro::platform::window
