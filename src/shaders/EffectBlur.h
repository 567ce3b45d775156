#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/gfx/Kernel.h"
#include "shaders/RowSelection.h"

namespace tamro::shaders {

// Constants of "EffectBlurHorizontal" and "EffectBlurVertical". Only the radius is used on this
// device; the texel size is kept for the constant block's layout.
struct BlurConstants {
    float radius = 0;
    float texelWidth = 0;
    float texelHeight = 0;
    float pad = 0;
};
static_assert(sizeof(BlurConstants) == 16);

// The largest radius the blur honours: the aprons a group caches on each side of its span.
inline constexpr int32_t kMaxBlurRadius = 32;

// The scale of the passes' integer weights: each channel is
// (sum over i = 0..r of factor[i] * (c[x + i] + c[x - i]) + kBlurScale / 2) / kBlurScale.
inline constexpr int32_t kBlurShift = 15;
inline constexpr int32_t kBlurScale = 1 << kBlurShift;

// The Gaussian of a radius: r = min(int(radius), 32), sigma = r, weight[i] the normalised
// exp(-i^2 / (2 sigma^2)) of taps +i and -i. r <= 0 is the single tap 1. factor[i] is weight[i]
// in units of 1 / kBlurScale, the centre's halved as the sum above counts it twice, and the
// weights they make sum to exactly the scale (flat pictures stay flat); the results are within 1
// of the float weights' rounded sums.
struct BlurTaps {
    int32_t radius = 0;
    float weight[kMaxBlurRadius + 1] = {};
    // One zero beyond the last tap, the partner of an odd one out in a pair.
    int16_t factor[kMaxBlurRadius + 2] = {};
};
BlurTaps BlurTapsFor(float radius);

// "EffectBlurHorizontal": input 0 blurred along x into output 0, both 4 bytes per pixel and the
// same size, bytes 0 and 2 of every pixel exchanged. Neighbours beyond the row's ends are its end
// pixels. Each channel is the factors' sum above.
int32_t EffectBlurHorizontal(const gfx::KernelArgs& args, gfx::RowBand band);
// "EffectBlurVertical": the same along y, without the exchange.
int32_t EffectBlurVertical(const gfx::KernelArgs& args, gfx::RowBand band);
// Both split into the output's rows.
uint32_t EffectBlurRows(const gfx::KernelArgs& args);

// One output row of the horizontal pass: `width` pixels of `in` into `out`, with `scratch` room
// for BlurScratchValues(width, radius) 16-bit values (the row widened, exchanged, with its
// clamped aprons).
using BlurHorizontalRowFunction = void (*)(const BlurTaps& taps, const uint8_t* in, uint8_t* out,
                                           uint32_t width, int16_t* scratch);
// Output row y of the vertical pass and, when `below` is not null, row y + 1: `count` channel
// values each, from 16-bit values whose row y is at `centre` and row y + k at centre + k x stride
// (clamped rows already in place, through row y + r + 1 even without `below`). Two rows share
// most of their loads.
using BlurVerticalRowFunction = void (*)(const BlurTaps& taps, const int16_t* centre,
                                         ptrdiff_t stride, uint8_t* out, uint8_t* below,
                                         uint32_t count);

size_t BlurScratchValues(uint32_t width, int32_t radius);

// The references: the other variants match them byte for byte.
void BlurHorizontalRowPlain(const BlurTaps& taps, const uint8_t* in, uint8_t* out, uint32_t width,
                            int16_t* scratch);
void BlurVerticalRowPlain(const BlurTaps& taps, const int16_t* centre, ptrdiff_t stride,
                          uint8_t* out, uint8_t* below, uint32_t count);
// The rows' variants ("plain", "avx2") and the ones the kernels run.
RowSelection<BlurHorizontalRowFunction>& BlurHorizontalRows();
RowSelection<BlurVerticalRowFunction>& BlurVerticalRows();

}  // namespace tamro::shaders
