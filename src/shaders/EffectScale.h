#pragma once

#include <cstdint>

#include "platform/gfx/Kernel.h"

namespace tamro::shaders {

// "EffectScale": input 0 resampled to the size of output 0, both 4 bytes per pixel (the bytes'
// order is kept): averaged over the covered texels when shrinking, bilinear when growing. Split
// into the output's rows.
int32_t EffectScale(const gfx::KernelArgs& args, gfx::RowBand band);
uint32_t EffectScaleRows(const gfx::KernelArgs& args);

}  // namespace tamro::shaders
