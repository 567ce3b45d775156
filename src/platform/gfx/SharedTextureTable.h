#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/gfx/GfxTypes.h"
#include "platform/gfx/KeyedMutex.h"
#include "platform/gfx/Texture.h"

namespace tamro::gfx {

// Process-wide table of shared texture handles, as the platform's kernel keeps for shared
// resources: a handle stays valid while any texture using it lives.
// Threading: any thread.
class SharedTextureTable {
  public:
    struct Entry {
        TextureDesc desc;
        std::weak_ptr<TextureStorage> storage;
        std::weak_ptr<KeyedMutex> keyedMutex;
    };

    static SharedTextureTable& Instance();

    uint64_t Register(const TextureDesc& desc, const std::shared_ptr<TextureStorage>& storage,
                      const std::shared_ptr<KeyedMutex>& keyedMutex);
    // False when the handle is unknown or every texture using it is gone.
    bool Lookup(uint64_t handle, TextureDesc* desc, std::shared_ptr<TextureStorage>* storage,
                std::shared_ptr<KeyedMutex>* keyedMutex);

  private:
    std::mutex m_mutex;
    uint64_t m_nextHandle = 0x1000;
    std::unordered_map<uint64_t, Entry> m_entries;
};

}  // namespace tamro::gfx
