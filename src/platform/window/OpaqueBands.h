#pragma once

#include <cstdint>
#include <vector>

namespace tamro::platform::window {

struct PixelRect {
    int32_t x = 0;
    int32_t y = 0;
    uint32_t width = 0;
    uint32_t height = 0;

    bool operator==(const PixelRect&) const = default;
};

// The pixels of a BGRA image whose alpha is at least one half, as rectangles in the order a
// window shape takes as Y-X banded: runs of each row left to right, rows top to bottom, and rows
// whose runs repeat the row above merged into one band.
std::vector<PixelRect> OpaqueBands(const uint8_t* pixels, uint32_t rowPitch, uint32_t width,
                                   uint32_t height);

}  // namespace tamro::platform::window
