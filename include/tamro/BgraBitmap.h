#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "tamro/Export.h"

namespace tamro {

// A picture handed to the application: BGRA, 8 bits a channel, premultiplied alpha, rows
// `Stride()` bytes apart, top row first. Immutable once raised with an event.
class TAMRO_API BgraBitmap {
  public:
    BgraBitmap(uint32_t width, uint32_t height)
        : m_width(width), m_height(height), m_pixels(size_t{width} * height * 4) {}

    uint32_t Width() const noexcept { return m_width; }
    uint32_t Height() const noexcept { return m_height; }
    uint32_t Stride() const noexcept { return m_width * 4; }
    const uint8_t* Pixels() const noexcept { return m_pixels.data(); }
    uint8_t* Pixels() noexcept { return m_pixels.data(); }
    uint8_t* Row(uint32_t y) noexcept { return m_pixels.data() + size_t{y} * Stride(); }

  private:
    uint32_t m_width;
    uint32_t m_height;
    std::vector<uint8_t> m_pixels;
};

}  // namespace tamro
