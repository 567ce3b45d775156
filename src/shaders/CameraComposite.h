#pragma once

#include <cstdint>

#include "platform/gfx/Kernel.h"
#include "shaders/RowSelection.h"

namespace tamro::shaders {

// Constants of "CameraComposite": four float4, filled by the compositor on every frame.
struct CameraCompositeConstants {
    // x, y, width, height of the bubble in output coordinates 0..1 from the top-left corner.
    float rect[4] = {};
    // Corner radius (a fraction of the half-extent), mirror (on above 0.5), cover (on above 0.5,
    // contain otherwise), opacity.
    float shape[4] = {};
    // r, g, b, a in 0..1, straight alpha.
    float borderColor[4] = {};
    // Border width (half-extent units), camera width / height, dashed (on above 0.5), unused.
    float borderMisc[4] = {};
};
static_assert(sizeof(CameraCompositeConstants) == 64);

// "CameraComposite": draws input 0, the camera picture (BGRA8, any size), as the shaped bubble
// over output 0 (BGRA8, holding the screen picture), blended with the source's alpha. It touches
// only the pixels the bubble's quad covers (centre inside the rectangle, top-left rule, clipped
// to the output) and leaves the others' bytes as they were. Its rows are those covered rows.
int32_t CameraComposite(const gfx::KernelArgs& args, gfx::RowBand band);
uint32_t CameraCompositeRows(const gfx::KernelArgs& args);

// Everything a row needs, derived from the constants and the textures once per band.
struct CompositeSetup;

// Pixels [first, end) of output row `y`, whose first pixel is at `row`. Reads and writes no other
// output byte.
using CompositeRowFunction = void (*)(const CompositeSetup& setup, uint8_t* row, uint32_t y,
                                      uint32_t first, uint32_t end);
// The reference: the other variants match it byte for byte.
void CameraCompositeRowPlain(const CompositeSetup& setup, uint8_t* row, uint32_t y, uint32_t first,
                             uint32_t end);
// The row's variants ("plain", "avx2") and the one the kernel runs.
RowSelection<CompositeRowFunction>& CameraCompositePixelRows();

}  // namespace tamro::shaders
