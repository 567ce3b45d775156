#pragma once

#include <cstddef>
#include <cstdint>

#include "encode/Letterbox.h"
#include "platform/media/MediaTypes.h"

namespace tamro {

// The slow path: BGRA frames of any size read back to memory and converted, scaled bilinearly into
// the centre of the output (Letterbox), straight into the encoder's input format, with the same
// BT.709 limited-range arithmetic as the device's converter.
// Threading: stateless; any thread.
class CpuFrameConverter {
  public:
    // One output frame in `subtype`; unknown subtypes are sized as 12-bit formats.
    static size_t FrameBytes(const platform::media::Guid& subtype, uint32_t width, uint32_t height);
    // `output` holds FrameBytes(subtype, outputWidth, outputHeight). False for a subtype it cannot
    // produce or an empty source.
    static bool Convert(const uint8_t* bgra, uint32_t width, uint32_t height, uint32_t rowPitch,
                        const platform::media::Guid& subtype, uint32_t outputWidth,
                        uint32_t outputHeight, uint8_t* output);
};

}  // namespace tamro
