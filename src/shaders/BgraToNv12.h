#pragma once

#include <cstdint>

#include "platform/gfx/Kernel.h"
#include "shaders/RowSelection.h"

namespace tamro::shaders {

// "BgraToNv12": input 0 is a BGRA8 or RGBA8 frame, output 0 its R8 luma plane (same size),
// output 1 its R8G8 chroma plane (half size each way). BT.709 limited range: luma 16..235, chroma
// of each 2x2 block from the block's mean, 16..240 around 128. Sizes must be even.
// Its rows are the pairs of input rows.
int32_t BgraToNv12(const gfx::KernelArgs& args, gfx::RowBand band);
uint32_t BgraToNv12Rows(const gfx::KernelArgs& args);

// The kernel's arithmetic for one value: luma of one pixel, chroma of the sums of four pixels'
// channels (a single pixel counts as four times itself).
uint8_t Bt709Luma(int r, int g, int b);
uint8_t Bt709ChromaU(int r4, int g4, int b4);
uint8_t Bt709ChromaV(int r4, int g4, int b4);

// One pair of rows (`width` even): `width` pixels from each of `row0` and `row1`, `width` luma
// bytes to each of `luma0` and `luma1`, `width` / 2 interleaved U, V pairs to `chroma`. Reads
// and writes nothing beyond those bytes. `redFirst` for RGBA memory order.
using Nv12RowPairFunction = void (*)(const uint8_t* row0, const uint8_t* row1, uint8_t* luma0,
                                     uint8_t* luma1, uint8_t* chroma, uint32_t width,
                                     bool redFirst);
// The reference: the other variants match it byte for byte.
void BgraToNv12RowPairPlain(const uint8_t* row0, const uint8_t* row1, uint8_t* luma0,
                            uint8_t* luma1, uint8_t* chroma, uint32_t width, bool redFirst);
// The row pair's variants ("plain", "avx2") and the one the kernel runs.
RowSelection<Nv12RowPairFunction>& BgraToNv12RowPairs();

}  // namespace tamro::shaders
