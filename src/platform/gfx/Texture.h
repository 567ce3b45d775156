#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/gfx/GfxTypes.h"
#include "platform/gfx/KeyedMutex.h"

namespace tamro::gfx {

// Pixel memory of a texture: owned, or borrowed from a platform buffer (an X11 shared-memory
// segment) that outlives it. Rows are `rowPitch` bytes apart; the pitch may exceed the row.
class TextureStorage {
  public:
    // Owned, zero-filled memory with rows aligned to 64 bytes.
    static std::shared_ptr<TextureStorage> Allocate(const TextureDesc& desc);
    // Borrowed memory; `release` runs when the last texture using it goes.
    static std::shared_ptr<TextureStorage> Wrap(uint8_t* data, uint32_t rowPitch, size_t bytes,
                                                std::function<void()> release);
    struct Key {
      private:
        Key() = default;
        friend class TextureStorage;
    };
    explicit TextureStorage(Key) {}
    ~TextureStorage();

    TextureStorage(const TextureStorage&) = delete;
    TextureStorage& operator=(const TextureStorage&) = delete;

    uint8_t* data() const { return m_data; }
    uint32_t rowPitch() const { return m_rowPitch; }
    size_t bytes() const { return m_bytes; }

  private:
    std::unique_ptr<uint8_t[]> m_owned;
    uint8_t* m_data = nullptr;
    uint32_t m_rowPitch = 0;
    size_t m_bytes = 0;
    std::function<void()> m_release;
};

// A 2-D image on the CPU device. Held through std::shared_ptr: frames, copies and shared opens
// pass references around as the platform's textures are reference counted.
// Threading: the description is immutable; pixel access goes through the device context, except
// for kernels and platform backends, which use Data()/RowPitch() under the context's lock.
class Texture {
  public:
    Texture(const TextureDesc& desc, std::shared_ptr<TextureStorage> storage,
            std::shared_ptr<KeyedMutex> keyedMutex, uint64_t sharedHandle,
            std::shared_ptr<std::atomic<uint64_t>> memoryCounter);
    ~Texture();

    Texture(const Texture&) = delete;
    Texture& operator=(const Texture&) = delete;

    const TextureDesc& Desc() const { return m_desc; }
    uint32_t Width() const { return m_desc.width; }
    uint32_t Height() const { return m_desc.height; }

    // 0 unless created with a shared misc flag.
    uint64_t SharedHandle() const { return m_sharedHandle; }
    // Null unless created with kMiscSharedKeyedMutex; shared by every open of the same handle.
    KeyedMutex* GetKeyedMutex() const { return m_keyedMutex.get(); }

    uint8_t* Data() const { return m_storage->data(); }
    uint32_t RowPitch() const { return m_storage->rowPitch(); }
    uint8_t* Row(uint32_t y) const { return Data() + static_cast<size_t>(y) * RowPitch(); }
    const std::shared_ptr<TextureStorage>& Storage() const { return m_storage; }

    bool IsMapped() const { return m_mapped.load(); }
    void SetMapped(bool mapped) { m_mapped.store(mapped); }

    // Which picture the texture holds, so that a consumer can reuse its work on a picture it has
    // seen: 0 (unknown) unless the producer says; whoever draws into the texture sets it anew.
    uint64_t ContentId() const { return m_contentId.load(); }
    void SetContentId(uint64_t id) { m_contentId.store(id); }

  private:
    TextureDesc m_desc;
    std::shared_ptr<TextureStorage> m_storage;
    std::shared_ptr<KeyedMutex> m_keyedMutex;
    uint64_t m_sharedHandle = 0;
    std::shared_ptr<std::atomic<uint64_t>> m_memoryCounter;
    uint64_t m_countedBytes = 0;
    std::atomic<bool> m_mapped{false};
    std::atomic<uint64_t> m_contentId{0};
};

}  // namespace tamro::gfx
