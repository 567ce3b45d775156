#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/gfx/Device.h"

namespace tamro {

// Textures of one description that go back to a free list when their last holder lets go, so a
// frame can be kept by reference (as the newest frame, or by an emission in progress) while the
// next one is written into another texture.
// Threading: any thread; holders may release on any thread, also after the recycler is gone.
class TextureRecycler : public std::enable_shared_from_this<TextureRecycler> {
  public:
    TextureRecycler(std::shared_ptr<gfx::Device> device, const gfx::TextureDesc& desc);

    // A free texture, or a new one; the device's result code on failure.
    int32_t Acquire(std::shared_ptr<gfx::Texture>* texture);

    const gfx::TextureDesc& Desc() const { return m_desc; }

  private:
    void Return(std::shared_ptr<gfx::Texture> texture);

    const std::shared_ptr<gfx::Device> m_device;
    const gfx::TextureDesc m_desc;
    std::mutex m_mutex;
    std::vector<std::shared_ptr<gfx::Texture>> m_free;
};

}  // namespace tamro
