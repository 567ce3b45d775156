#pragma once

#include <cstdint>

#include "platform/gfx/Kernel.h"

namespace tamro::shaders {

// Constants of "ScaleLetterbox": the part of the input shown, from its top-left corner (0 for
// the whole input), and where the scaled picture goes in the output.
struct LetterboxConstants {
    uint32_t sourceWidth = 0;
    uint32_t sourceHeight = 0;
    uint32_t left = 0;
    uint32_t top = 0;
    uint32_t right = 0;
    uint32_t bottom = 0;
};

// "ScaleLetterbox": input 0 (BGRA8) scaled bilinearly into the rectangle of output 0 (BGRA8)
// given by the constants; the rest of the output is opaque black. The video processor's blit;
// it runs whole, not in bands. Its rows are libyuv's (ARGBScale, ARGBRect): libyuv chooses its
// optimised rows by processor once, and its plain C rows are the reference they match, which
// tests force with libyuv::MaskCpuFlags as libyuv's own tests do.
int32_t ScaleLetterbox(const gfx::KernelArgs& args, gfx::RowBand band);

}  // namespace tamro::shaders
