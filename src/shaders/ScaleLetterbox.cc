#include "shaders/ScaleLetterbox.h"

#include <libyuv.h>

#include <cstring>

#include "platform/gfx/Texture.h"
#include "tamro/ResultCode.h"

namespace tamro::shaders {
namespace {

constexpr uint32_t kOpaqueBlack = 0xFF000000;  // B, G, R = 0, A = 255 in BGRA memory order

void FillBlack(const gfx::Texture& texture, uint32_t left, uint32_t top, uint32_t width,
               uint32_t height) {
    if (width == 0 || height == 0)
        return;
    libyuv::ARGBRect(texture.Data(), static_cast<int>(texture.RowPitch()), static_cast<int>(left),
                     static_cast<int>(top), static_cast<int>(width), static_cast<int>(height),
                     kOpaqueBlack);
}

// The output around the rectangle: bars above and below, then left and right of it.
void FillBorders(const gfx::Texture& out, const LetterboxConstants& rect) {
    FillBlack(out, 0, 0, out.Width(), rect.top);
    FillBlack(out, 0, rect.bottom, out.Width(), out.Height() - rect.bottom);
    FillBlack(out, 0, rect.top, rect.left, rect.bottom - rect.top);
    FillBlack(out, rect.right, rect.top, out.Width() - rect.right, rect.bottom - rect.top);
}

}  // namespace

int32_t ScaleLetterbox(const gfx::KernelArgs& args, gfx::RowBand) {
    if (args.inputs.size() != 1 || args.outputs.size() != 1 || !args.inputs[0] ||
        !args.outputs[0] || args.constantsSize != sizeof(LetterboxConstants) || !args.constants) {
        return kInvalidArg;
    }
    const gfx::Texture& in = *args.inputs[0];
    const gfx::Texture& out = *args.outputs[0];
    LetterboxConstants rect;
    std::memcpy(&rect, args.constants, sizeof(rect));
    if (in.Desc().format != gfx::Format::kBGRA8 || out.Desc().format != gfx::Format::kBGRA8 ||
        rect.left >= rect.right || rect.top >= rect.bottom || rect.right > out.Width() ||
        rect.bottom > out.Height() || rect.sourceWidth > in.Width() ||
        rect.sourceHeight > in.Height()) {
        return kInvalidArg;
    }
    const uint32_t sourceWidth = rect.sourceWidth ? rect.sourceWidth : in.Width();
    const uint32_t sourceHeight = rect.sourceHeight ? rect.sourceHeight : in.Height();
    FillBorders(out, rect);
    uint8_t* destination = out.Row(rect.top) + static_cast<size_t>(rect.left) * 4;
    const int scaled = libyuv::ARGBScale(
        in.Data(), static_cast<int>(in.RowPitch()), static_cast<int>(sourceWidth),
        static_cast<int>(sourceHeight), destination, static_cast<int>(out.RowPitch()),
        static_cast<int>(rect.right - rect.left), static_cast<int>(rect.bottom - rect.top),
        libyuv::kFilterBilinear);
    return scaled == 0 ? kOk : kFail;
}

}  // namespace tamro::shaders
