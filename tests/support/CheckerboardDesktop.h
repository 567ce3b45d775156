#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdint>

namespace tamro::test {

// A checkerboard as the root window's background, also named where a compositing manager looks
// for the wallpaper, so that what shows around a window is known pixel for pixel.
struct CheckerboardDesktop {
    static constexpr uint32_t kDark = 0x305070;
    static constexpr uint32_t kLight = 0xC0A060;
    static constexpr uint32_t kSquare = 16;

    static uint32_t At(int x, int y) { return (x / kSquare + y / kSquare) % 2 ? kLight : kDark; }

    static void Paint(::Display* display) {
        const ::Window root = DefaultRootWindow(display);
        const Pixmap tile = XCreatePixmap(display, root, 2 * kSquare, 2 * kSquare, 24);
        GC gc = XCreateGC(display, tile, 0, nullptr);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 2; ++x) {
                XSetForeground(display, gc, At(x * kSquare, y * kSquare));
                XFillRectangle(display, tile, gc, x * kSquare, y * kSquare, kSquare, kSquare);
            }
        XFreeGC(display, gc);
        const Atom wallpaper = XInternAtom(display, "_XROOTPMAP_ID", False);
        XChangeProperty(display, root, wallpaper, XA_PIXMAP, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&tile), 1);
        XSetWindowBackgroundPixmap(display, root, tile);
        XClearWindow(display, root);
        XSync(display, False);
    }
};

}  // namespace tamro::test
