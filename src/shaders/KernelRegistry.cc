#include "shaders/KernelRegistry.h"

#include <array>

#include "shaders/BgraToNv12.h"
#include "shaders/CameraComposite.h"
#include "shaders/EffectBlur.h"
#include "shaders/EffectComposite.h"
#include "shaders/EffectFill.h"
#include "shaders/EffectScale.h"
#include "shaders/ModelLetterbox.h"
#include "shaders/ScaleLetterbox.h"

namespace tamro::shaders {

namespace {

// Every kernel of the engine, added here as its class lands.
constexpr std::array kKernels = {
    gfx::Kernel("BgraToNv12", BgraToNv12, BgraToNv12Rows),
    gfx::Kernel("CameraComposite", CameraComposite, CameraCompositeRows),
    gfx::Kernel("EffectBlurHorizontal", EffectBlurHorizontal, EffectBlurRows),
    gfx::Kernel("EffectBlurVertical", EffectBlurVertical, EffectBlurRows),
    gfx::Kernel("EffectChannelSwap", EffectChannelSwap, EffectChannelSwapRows),
    gfx::Kernel("EffectColorFill", EffectColorFill, EffectColorFillRows),
    gfx::Kernel("EffectGradientFill", EffectGradientFill, EffectGradientFillRows),
    gfx::Kernel("EffectImageCover", EffectImageCover, EffectImageCoverRows),
    gfx::Kernel("EffectMaskComposite", EffectMaskComposite, EffectMaskCompositeRows),
    gfx::Kernel("EffectScale", EffectScale, EffectScaleRows),
    gfx::Kernel("ModelLetterbox", ModelLetterbox, ModelLetterboxRows),
    gfx::Kernel("ScaleLetterbox", ScaleLetterbox),
};

}  // namespace

const gfx::Kernel* FindKernel(std::string_view name) {
    for (const gfx::Kernel& kernel : kKernels) {
        if (kernel.Name() == name)
            return &kernel;
    }
    return nullptr;
}

}  // namespace tamro::shaders
