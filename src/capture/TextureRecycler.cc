#include "capture/TextureRecycler.h"

#include "tamro/ResultCode.h"

namespace tamro {

TextureRecycler::TextureRecycler(std::shared_ptr<gfx::Device> device, const gfx::TextureDesc& desc)
    : m_device(std::move(device)), m_desc(desc) {}

int32_t TextureRecycler::Acquire(std::shared_ptr<gfx::Texture>* texture) {
    std::shared_ptr<gfx::Texture> owned;
    {
        std::lock_guard lock(m_mutex);
        if (!m_free.empty()) {
            owned = std::move(m_free.back());
            m_free.pop_back();
        }
    }
    if (!owned) {
        const int32_t result = m_device->CreateTexture(m_desc, nullptr, 0, &owned);
        if (Failed(result))
            return result;
    }
    gfx::Texture* raw = owned.get();
    // The handle's deleter owns the texture and hands it back instead of destroying it.
    *texture = std::shared_ptr<gfx::Texture>(
        raw, [recycler = weak_from_this(), owned = std::move(owned)](gfx::Texture*) mutable {
            if (auto self = recycler.lock())
                self->Return(std::move(owned));
        });
    return kOk;
}

void TextureRecycler::Return(std::shared_ptr<gfx::Texture> texture) {
    std::lock_guard lock(m_mutex);
    m_free.push_back(std::move(texture));
}

}  // namespace tamro
