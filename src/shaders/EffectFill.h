#pragma once

#include <cstdint>

#include "platform/gfx/Kernel.h"
#include "shaders/RowSelection.h"

namespace tamro::shaders {

// The background kernels. Pixel textures are 4 bytes per pixel, kBGRA8 or kRGBA8; colours given
// as r, g, b, a in 0..1 are written in the output's channel order, each byte round(saturate(v)
// x 255). All split into the output's rows.

// "EffectChannelSwap": output 0 = input 0 (the same size) with bytes 0 and 2 of each pixel
// exchanged.
int32_t EffectChannelSwap(const gfx::KernelArgs& args, gfx::RowBand band);
uint32_t EffectChannelSwapRows(const gfx::KernelArgs& args);

// Constants of "EffectColorFill": every pixel of output 0 becomes `color`.
struct FillColorConstants {
    float color[4] = {};
};
int32_t EffectColorFill(const gfx::KernelArgs& args, gfx::RowBand band);
uint32_t EffectColorFillRows(const gfx::KernelArgs& args);

// Constants of "EffectGradientFill": row y of output 0 is lerp(start, end, y / height).
struct GradientConstants {
    float start[4] = {};
    float end[4] = {};
};
int32_t EffectGradientFill(const gfx::KernelArgs& args, gfx::RowBand band);
uint32_t EffectGradientFillRows(const gfx::KernelArgs& args);

// Constants of "EffectImageCover": input 0 (the picture, any size) covers output 0, scaled by
// the larger of the two axis ratios and centred, cropping the overflow. Output pixel (x, y)
// samples the picture bilinearly at ((x, y) + offset) / scale / size x (size - 1), its far
// neighbours clamped to the last texel; bytes 0 and 2 are exchanged when the two textures'
// channel orders differ.
struct ImageCoverConstants {
    float srcWidth = 0;
    float srcHeight = 0;
    float destWidth = 0;
    float destHeight = 0;
};
int32_t EffectImageCover(const gfx::KernelArgs& args, gfx::RowBand band);
uint32_t EffectImageCoverRows(const gfx::KernelArgs& args);

// Where each output column samples the picture, shared by every row of a band.
struct CoverColumns;

// One output row of `width` pixels between picture rows `top` and `bottom` at `weight`.
using ImageCoverRowFunction = void (*)(const CoverColumns& columns, const uint8_t* top,
                                       const uint8_t* bottom, float weight, uint8_t* out,
                                       uint32_t width, bool exchange);
// The reference: the other variants match it byte for byte.
void ImageCoverRowPlain(const CoverColumns& columns, const uint8_t* top, const uint8_t* bottom,
                        float weight, uint8_t* out, uint32_t width, bool exchange);
// The row's variants ("plain", "avx2") and the one the kernel runs.
RowSelection<ImageCoverRowFunction>& ImageCoverRows();

}  // namespace tamro::shaders
