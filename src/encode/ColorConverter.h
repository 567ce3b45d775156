#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "platform/gfx/Device.h"

namespace tamro {

// Turns BGRA frames of one fixed, even size into NV12 images the CPU can read: the conversion runs
// as the device's "BgraToNv12" kernel, the planes are copied into one of two staging pairs and the
// image is assembled from the pair filled one call earlier, so reading never waits for the frame
// just submitted. The image delivered therefore lags the input by one frame (the first frame is
// delivered twice).
// Threading: used from the encoder's frame-writing thread only.
class ColorConverter {
  public:
    ColorConverter() = default;
    ColorConverter(const ColorConverter&) = delete;
    ColorConverter& operator=(const ColorConverter&) = delete;

    bool Initialize(gfx::Device* device, uint32_t width, uint32_t height);
    // On success `nv12Out` is the staging image (luma rows, then interleaved chroma rows) that
    // the caller maps for reading and unmaps.
    bool Convert(gfx::Texture* input, gfx::Texture** nv12Out);

    bool IsInitialized() const { return m_initialized; }

  private:
    bool CreateShaders();
    bool CreateTextures();
    bool CreateStagingTextures();
    bool CreateTexture(const gfx::TextureDesc& desc, std::shared_ptr<gfx::Texture>* texture,
                       const char* failureLine, int index = -1);
    void AssembleImage(uint32_t readIndex, const gfx::MappedSubresource& image);

    gfx::Device* m_device = nullptr;
    gfx::DeviceContext* m_context = nullptr;
    const gfx::Kernel* m_computeShader = nullptr;
    std::shared_ptr<gfx::Texture> m_nv12Staging;
    std::array<std::shared_ptr<gfx::Texture>, 2> m_yStaging;
    std::array<std::shared_ptr<gfx::Texture>, 2> m_uvStaging;
    uint32_t m_writeIndex = 0;
    bool m_primed = false;
    std::shared_ptr<gfx::Texture> m_yTexture;
    std::shared_ptr<gfx::Texture> m_uvTexture;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    bool m_initialized = false;
};

}  // namespace tamro
