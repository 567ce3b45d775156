#pragma once

#include <cstdint>
#include <memory>

#include "platform/gfx/Device.h"
#include "tamro/BgraBitmap.h"

namespace tamro {

// Reads preview frames back into bitmaps for an application that draws the camera itself: one
// staging copy, one map and one row copy a frame, through a staging texture that follows the
// frames' size.
// Threading: one thread at a time (the preview's frame path, under its camera lock).
class PreviewReadback {
  public:
    // The staging texture for `width` x `height` BGRA frames on `device`; false after a logged
    // failure, and every later conversion then yields nothing.
    bool Create(gfx::Device* device, uint32_t width, uint32_t height);
    void Release();

    // The frame as a bitmap, or null (no staging texture, or a failed copy or map).
    std::shared_ptr<BgraBitmap> Convert(gfx::Device* device, gfx::Texture* frame);

    uint64_t MapFailures() const { return m_mapFailures; }

  private:
    std::shared_ptr<gfx::Texture> m_staging;
    uint64_t m_mapFailures = 0;
};

}  // namespace tamro
