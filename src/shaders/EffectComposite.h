#pragma once

#include <cstdint>

#include "platform/gfx/Kernel.h"
#include "shaders/RowSelection.h"

namespace tamro::shaders {

// Constants of "EffectMaskComposite".
struct CompositeConstants {
    // Frame pixel (x, y) lies at (x, y) x maskScale + (maskOffsetX, maskOffsetY) in mask texels.
    float maskScale = 0;
    float maskOffsetX = 0;
    float maskOffsetY = 0;
    // Above 0.5: bytes 0 and 2 of the background are exchanged when read.
    float backgroundExchanged = 0;
};
static_assert(sizeof(CompositeConstants) == 16);

// "EffectMaskComposite": input 0 the foreground (the camera frame), input 1 the background (4
// bytes per pixel, the same size), input 2 the person mask (kR32F, the model's size); output 0
// (the frame's size). m is the bilinear sample of the mask where the pixel falls inside it, 0
// elsewhere; each byte is lerp(background, foreground, smoothstep(0.02, 0.98, saturate(m))),
// rounded. Its rows are the output's.
int32_t EffectMaskComposite(const gfx::KernelArgs& args, gfx::RowBand band);
uint32_t EffectMaskCompositeRows(const gfx::KernelArgs& args);

// Where each output column samples the mask, shared by every row of a band.
struct MaskColumns;

// One output row: `maskRow` is the mask interpolated between its two rows at this row's y, one
// value per mask column and eight more readable after them, or null where the row lies outside
// the mask. Touches `width` pixels of `out` only.
using MaskCompositeRowFunction = void (*)(const MaskColumns& columns, const float* maskRow,
                                          const uint8_t* foreground, const uint8_t* background,
                                          uint8_t* out, uint32_t width, bool exchanged);
// The reference: the other variants match it byte for byte.
void MaskCompositeRowPlain(const MaskColumns& columns, const float* maskRow,
                           const uint8_t* foreground, const uint8_t* background, uint8_t* out,
                           uint32_t width, bool exchanged);
// The row's variants ("plain", "avx2") and the one the kernel runs.
RowSelection<MaskCompositeRowFunction>& MaskCompositeRows();

}  // namespace tamro::shaders
