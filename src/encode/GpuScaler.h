#pragma once

#include <cstdint>
#include <memory>

#include "platform/gfx/Device.h"

namespace tamro {

// Scales frames into a texture of the encoder's output size on the device, keeping the aspect
// ratio: the picture is centred and the rest is black (letterbox or pillarbox).
// Threading: used from the encoder's frame-writing thread only.
class GpuScaler {
  public:
    // Ready at once when already ready for inputs at least this large.
    bool Initialize(gfx::Device* device, uint32_t inputWidth, uint32_t inputHeight,
                    uint32_t outputWidth, uint32_t outputHeight);
    bool Scale(gfx::Texture* texture);

    bool IsReady() const { return m_ready; }
    uint32_t InputWidth() const { return m_inputWidth; }
    uint32_t InputHeight() const { return m_inputHeight; }
    gfx::Texture* ScaledTexture() const { return m_scaledTexture.get(); }

  private:
    void Release();

    gfx::Device* m_device = nullptr;
    const gfx::Kernel* m_processor = nullptr;
    std::shared_ptr<gfx::Texture> m_scaledTexture;
    uint32_t m_outputWidth = 0;
    uint32_t m_outputHeight = 0;
    bool m_ready = false;
    uint32_t m_inputWidth = 0;
    uint32_t m_inputHeight = 0;
};

}  // namespace tamro
