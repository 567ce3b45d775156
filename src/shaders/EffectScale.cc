#include "shaders/EffectScale.h"

#include <libyuv/scale_argb.h>

#include "platform/gfx/Texture.h"
#include "tamro/ResultCode.h"

namespace tamro::shaders {
namespace {

bool FourBytes(const gfx::Texture& texture) {
    const gfx::Format format = texture.Desc().format;
    return format == gfx::Format::kBGRA8 || format == gfx::Format::kRGBA8;
}

bool Valid(const gfx::KernelArgs& args) {
    return args.inputs.size() == 1 && args.outputs.size() == 1 && args.inputs[0] &&
           args.outputs[0] && FourBytes(*args.inputs[0]) && FourBytes(*args.outputs[0]) &&
           args.inputs[0]->Width() > 0 && args.inputs[0]->Height() > 0;
}

}  // namespace

uint32_t EffectScaleRows(const gfx::KernelArgs& args) {
    return Valid(args) ? args.outputs[0]->Height() : 0;
}

// libyuv's ARGB scaler treats the four bytes alike; a clip rectangle gives each band its rows of
// the same whole-picture resampling.
int32_t EffectScale(const gfx::KernelArgs& args, gfx::RowBand band) {
    if (!Valid(args) || band.end > args.outputs[0]->Height() || band.first > band.end)
        return kInvalidArg;
    if (band.first == band.end)
        return kOk;
    const gfx::Texture& in = *args.inputs[0];
    const gfx::Texture& out = *args.outputs[0];
    const bool shrinking = out.Width() <= in.Width() && out.Height() <= in.Height();
    const int result = libyuv::ARGBScaleClip(
        in.Data(), static_cast<int>(in.RowPitch()), static_cast<int>(in.Width()),
        static_cast<int>(in.Height()), out.Data(), static_cast<int>(out.RowPitch()),
        static_cast<int>(out.Width()), static_cast<int>(out.Height()), 0,
        static_cast<int>(band.first), static_cast<int>(out.Width()),
        static_cast<int>(band.end - band.first),
        shrinking ? libyuv::kFilterBox : libyuv::kFilterBilinear);
    return result == 0 ? kOk : kFail;
}

}  // namespace tamro::shaders
