#include "shaders/ModelLetterbox.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/gfx/Texture.h"
#include "tamro/ResultCode.h"

namespace tamro::shaders {

namespace {

bool Valid(const gfx::KernelArgs& args) {
    return args.inputs.size() == 1 && args.outputs.size() == 1 && args.inputs[0] &&
           args.outputs[0] && args.inputs[0]->Desc().format == gfx::Format::kBGRA8 &&
           args.outputs[0]->Desc().format == gfx::Format::kBGRA8 && args.inputs[0]->Width() > 0 &&
           args.inputs[0]->Height() > 0;
}

// One channel of the bilinear blend of four texels, truncated to a byte.
uint8_t Blend(const uint8_t* p00, const uint8_t* p10, const uint8_t* p01, const uint8_t* p11,
              int channel, float fx, float fy) {
    const float top = p00[channel] + (p10[channel] - p00[channel]) * fx;
    const float bottom = p01[channel] + (p11[channel] - p01[channel]) * fx;
    return static_cast<uint8_t>(top + (bottom - top) * fy);
}

}  // namespace

uint32_t ModelLetterboxRows(const gfx::KernelArgs& args) {
    return Valid(args) ? args.outputs[0]->Height() : 0;
}

// Written out rather than taken from a scaler: the network was trained on exactly this sampling
// (truncated bytes, black borders), which library scalers round and filter differently. At the
// model's small size it is a few hundredths of a millisecond.
int32_t ModelLetterbox(const gfx::KernelArgs& args, gfx::RowBand band) {
    if (!Valid(args))
        return kInvalidArg;
    const gfx::Texture& src = *args.inputs[0];
    const gfx::Texture& dst = *args.outputs[0];
    const uint32_t srcWidth = src.Width(), srcHeight = src.Height();
    const float s = std::min(static_cast<float>(dst.Width()) / srcWidth,
                             static_cast<float>(dst.Height()) / srcHeight);
    const float ox = (dst.Width() - srcWidth * s) / 2.0f;
    const float oy = (dst.Height() - srcHeight * s) / 2.0f;
    const float maxX = static_cast<float>(srcWidth - 1);
    const float maxY = static_cast<float>(srcHeight - 1);
    // Each column's source position, worked out once per band: the same float arithmetic as a
    // pixel would do, so the bytes do not change.
    struct Column {
        bool inside = false;
        uint32_t x0 = 0, x1 = 0;
        float fx = 0;
    };
    std::vector<Column> columns(dst.Width());
    for (uint32_t x = 0; x < dst.Width(); ++x) {
        const float sx = (x - ox) / s;
        if (sx < 0.0f || sx > maxX)
            continue;
        const uint32_t x0 = static_cast<uint32_t>(sx);
        columns[x] = {true, x0, std::min(x0 + 1, srcWidth - 1), sx - x0};
    }
    for (uint32_t y = band.first; y < std::min(band.end, dst.Height()); ++y) {
        uint8_t* out = dst.Row(y);
        const float sy = (y - oy) / s;
        if (sy < 0.0f || sy > maxY) {
            std::memset(out, 0, size_t{dst.Width()} * 4);
            continue;
        }
        const uint32_t y0 = static_cast<uint32_t>(sy);
        const uint8_t* row0 = src.Row(y0);
        const uint8_t* row1 = src.Row(std::min(y0 + 1, srcHeight - 1));
        const float fy = sy - y0;
        for (const Column& column : columns) {
            if (!column.inside) {
                std::memset(out, 0, 4);
            } else {
                const uint8_t* p00 = row0 + column.x0 * 4;
                const uint8_t* p10 = row0 + column.x1 * 4;
                const uint8_t* p01 = row1 + column.x0 * 4;
                const uint8_t* p11 = row1 + column.x1 * 4;
                for (int c = 0; c < 4; ++c)
                    out[c] = Blend(p00, p10, p01, p11, c, column.fx, fy);
            }
            out += 4;
        }
    }
    return kOk;
}

}  // namespace tamro::shaders
