#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/gfx/Device.h"
#include "tamro/Records.h"

namespace tamro {

// A background effect run on each camera frame before it is handed over to the recording.
// Threading: ProcessFrame on the camera's delivery thread; SetConfig and ProcessedFrames from any.
class ICameraFrameEffect {
  public:
    virtual ~ICameraFrameEffect() = default;
    // True with `*output` set (possibly to `input` itself) when the frame was processed.
    virtual bool ProcessFrame(gfx::Texture* input, gfx::Texture** output) = 0;
    // A new effect for the frames that follow.
    virtual void SetConfig(const BackgroundEffectConfig& config) = 0;
    // Frames the effect has changed so far.
    virtual uint64_t ProcessedFrames() const = 0;
    // Whether it finds the person; without, only a blur of the whole frame is offered.
    virtual bool IsMlAvailable() const = 0;
};

// Makes the effect for frames of `width` x `height` on `device`; null when it cannot run.
using CameraEffectFactory = std::function<std::unique_ptr<ICameraFrameEffect>(
    gfx::Device* device, uint32_t width, uint32_t height, const BackgroundEffectConfig& config)>;

}  // namespace tamro
