#pragma once

#include <cstdint>

#include "platform/gfx/Kernel.h"

namespace tamro::shaders {

// "ModelLetterbox": input 0 (a BGRA8 camera frame, any size) fitted into output 0 (BGRA8, the
// segmentation model's input size) as the model was trained to see it: scaled by
// s = min(outW / inW, outH / inH) and centred; output pixel (x, y) samples the frame at
// ((x - ox) / s, (y - oy) / s) as the bilinear blend of its four texels (the far ones clamped to
// the last row and column), each byte truncated; outside the frame it is 0 in all four bytes.
// Its rows are the output's. No constants.
int32_t ModelLetterbox(const gfx::KernelArgs& args, gfx::RowBand band);
uint32_t ModelLetterboxRows(const gfx::KernelArgs& args);

}  // namespace tamro::shaders
