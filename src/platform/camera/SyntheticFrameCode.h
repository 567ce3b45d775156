#pragma once

#include <cstdint>
#include <optional>

#include "platform/camera/CameraSystem.h"

namespace tamro::platform::camera {

// The frame number as the synthetic camera paints it into every picture, so that a test can read
// it back from what came out of the pipeline, scaled or re-encoded:
//
//   a row of 16 square blocks of side width / 40, from 3/10 to 7/10 of the width with its middle
//   at three quarters of the height, where a round bubble that fills itself with the picture
//   still shows it; block i spans x from (12 + i) × width / 40 to (13 + i) × width / 40 (integer
//   division, so that the places scale with the picture); white is 1 and black is 0; block 0, at the left, holds the most significant bit of the frame number
//   modulo 65536. In a mirrored picture the row runs from right to left.
//
// Header-only, so that a test linking nothing of the engine can read the code too.
struct SyntheticFrameCode {
    static constexpr uint32_t kBits = 16;
    static constexpr uint32_t kBlocksPerWidth = 40;

    static constexpr uint32_t BlockSide(uint32_t width) { return width / kBlocksPerWidth; }
    static constexpr uint32_t BlockLeft(uint32_t block, uint32_t width) {
        return static_cast<uint32_t>(uint64_t{12 + block} * width / kBlocksPerWidth);
    }
    static constexpr uint32_t RowTop(uint32_t width, uint32_t height) {
        return height * 3 / 4 - BlockSide(width) / 2;
    }

    // Reads the code from a picture `width` × `height` through `luma(x, y)` (0 to 255), which
    // may be the Y plane of a decoded video. Null when a block is neither clearly dark nor
    // clearly light: no code there, or a picture too damaged to trust.
    template <typename LumaAt>
    static std::optional<uint32_t> Read(uint32_t width, uint32_t height, LumaAt luma) {
        const uint32_t side = BlockSide(width);
        if (side < 3 || height < side)
            return std::nullopt;
        const uint32_t y = RowTop(width, height) + side / 2;
        uint32_t number = 0;
        for (uint32_t block = 0; block < kBits; ++block) {
            const uint32_t x = (BlockLeft(block, width) + BlockLeft(block + 1, width)) / 2;
            uint32_t sum = 0;
            for (uint32_t dy = 0; dy < 3; ++dy) {
                for (uint32_t dx = 0; dx < 3; ++dx)
                    sum += luma(x + dx - 1, y + dy - 1);
            }
            const uint32_t mean = sum / 9;
            if (mean > kDarkBelow && mean < kLightAbove)
                return std::nullopt;
            number = number << 1 | (mean >= kLightAbove ? 1 : 0);
        }
        return number;
    }

    // Reads the code from a BGRA picture.
    static std::optional<uint32_t> Read(const Frame& frame) {
        return Read(frame.width, frame.height, [&frame](uint32_t x, uint32_t y) {
            const uint8_t* pixel = frame.data + size_t{y} * frame.stride + size_t{x} * 4;
            return (uint32_t{pixel[0]} + pixel[1] + pixel[2]) / 3;
        });
    }

  private:
    // Far enough from black and white to survive limited-range video and lossy coding.
    static constexpr uint32_t kDarkBelow = 80;
    static constexpr uint32_t kLightAbove = 176;
};

}  // namespace tamro::platform::camera
