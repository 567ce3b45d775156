#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/media/MediaTypes.h"

namespace tamro {

// Where a source picture lands in the output when its aspect ratio is kept: all values even.
struct ContentPlacement {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t offsetX = 0;
    uint32_t offsetY = 0;
};

// The slow path: BGRA frames of any size read back to memory and converted, scaled bilinearly into
// the centre of the output, straight into the encoder's input format. Uses the BT.601 integer
// coefficients of the platform's software converters.
// Threading: stateless; any thread.
class CpuFrameConverter {
  public:
    static ContentPlacement Fit(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t outputWidth,
                                uint32_t outputHeight);
    // One output frame in `subtype`; unknown subtypes are sized as 12-bit formats.
    static size_t FrameBytes(const platform::media::Guid& subtype, uint32_t width, uint32_t height);
    // `output` holds FrameBytes(subtype, outputWidth, outputHeight). False for a subtype it cannot
    // produce or an empty source.
    static bool Convert(const uint8_t* bgra, uint32_t width, uint32_t height, uint32_t rowPitch,
                        const platform::media::Guid& subtype, uint32_t outputWidth,
                        uint32_t outputHeight, uint8_t* output);
};

}  // namespace tamro
