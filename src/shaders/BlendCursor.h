#pragma once

#include <cstdint>

#include "shaders/RowSelection.h"

namespace tamro::shaders {

// The cursor drawn into a captured frame: a premultiplied ARGB image (0xAARRGGBB words, so B, G,
// R, A in memory, as the frame) over a BGRA frame. Each colour channel becomes
// min(255, s + d x (255 - a) / 255), the division rounded to nearest, and alpha 255; a cursor
// pixel whose alpha is 0 leaves the frame's pixel as it was, alpha included.
//
// libyuv's ARGBBlend (premultiplied source, as here) computes something else: d x (256 - a) >> 8,
// truncated, so alpha 100 over 200 gives 121 where the engine has always given 122 (18,760 of
// the 65,280 alpha, background pairs with alpha above 0 differ by one), and alpha 255 under
// transparent cursor pixels too. So the blend is written here, to keep the frames' bytes.

// One row: `width` cursor pixels over `width` frame pixels; touches no other byte.
using CursorBlendRowFunction = void (*)(const uint8_t* cursor, uint8_t* frame, uint32_t width);
// The reference: the other variants match it byte for byte.
void BlendCursorRowPlain(const uint8_t* cursor, uint8_t* frame, uint32_t width);
// The row's variants ("plain", "avx2") and the one BlendCursor runs.
RowSelection<CursorBlendRowFunction>& BlendCursorRows();

// Blends the `cursorWidth` x `cursorHeight` cursor (rows `cursorStride` bytes apart) with its
// top-left pixel at (left, top) of the `frameWidth` x `frameHeight` frame (rows `frameStride`
// bytes apart), clipped to the frame; either may lie partly or wholly outside the other.
void BlendCursor(const uint8_t* cursor, uint32_t cursorStride, int32_t cursorWidth,
                 int32_t cursorHeight, int32_t left, int32_t top, uint8_t* frame,
                 uint32_t frameStride, int32_t frameWidth, int32_t frameHeight);

}  // namespace tamro::shaders
