#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdint>
#include <vector>

namespace tamro::test {

// A rectangle of the screen as it shows, read from the root window: RGB (0xRRGGBB), addressed
// in screen coordinates. Empty (every pixel 0) when it cannot be read.
struct Screenshot {
    Screenshot(::Display* display, int width, int height)
        : Screenshot(display, 0, 0, width, height) {}
    Screenshot(::Display* display, int left, int top, int width, int height)
        : left(left), top(top), width(width) {
        XImage* image = XGetImage(display, DefaultRootWindow(display), left, top, width, height,
                                  AllPlanes, ZPixmap);
        for (int y = 0; image && y < height; ++y)
            for (int x = 0; x < width; ++x)
                pixels.push_back(XGetPixel(image, x, y) & 0xFFFFFF);
        if (image)
            XDestroyImage(image);
    }
    uint32_t At(int x, int y) const {
        return pixels.empty() ? 0 : pixels[(y - top) * width + (x - left)];
    }

    int left;
    int top;
    int width;
    std::vector<uint32_t> pixels;
};

}  // namespace tamro::test
