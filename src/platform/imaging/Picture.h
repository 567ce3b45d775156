#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamro::platform::imaging {

// Why reading or writing a picture file failed.
enum class ImageStatus : uint8_t {
    kOk,
    kOpenFailed,   // missing or unreadable file, or one that cannot be created
    kCorrupt,      // not a picture of that format, or damaged or cut short
    kUnsupported,  // a valid file of a kind this reader does not take
    kTooLarge,     // larger than kMaxPictureSide on a side
    kWriteFailed,
};

const char* ImageStatusName(ImageStatus status);

// Bounds what a damaged header can make a reader allocate; well above any background picture.
constexpr uint32_t kMaxPictureSide = 16384;

// An RGBA picture, 8 bits a channel, rows tightly packed (stride width * 4).
struct Picture {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgba;

    uint32_t Stride() const { return width * 4; }
    uint8_t* Pixel(uint32_t x, uint32_t y) { return rgba.data() + (size_t{y} * width + x) * 4; }
    const uint8_t* Pixel(uint32_t x, uint32_t y) const {
        return rgba.data() + (size_t{y} * width + x) * 4;
    }
};

}  // namespace tamro::platform::imaging
