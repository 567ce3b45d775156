#include "platform/gfx/Texture.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tamro::gfx {

namespace {

constexpr uint32_t kRowAlignment = 64;

uint32_t AlignedPitch(const TextureDesc& desc) {
    const uint32_t row = desc.width * BytesPerPixel(desc.format);
    return (row + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
}

}  // namespace

std::shared_ptr<TextureStorage> TextureStorage::Allocate(const TextureDesc& desc) {
    auto storage = std::make_shared<TextureStorage>(Key());
    storage->m_rowPitch = AlignedPitch(desc);
    storage->m_bytes = static_cast<size_t>(storage->m_rowPitch) * desc.height;
    try {
        storage->m_owned =
            std::make_unique_for_overwrite<uint8_t[]>(std::max<size_t>(1, storage->m_bytes));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    std::memset(storage->m_owned.get(), 0, storage->m_bytes);
    storage->m_data = storage->m_owned.get();
    return storage;
}

std::shared_ptr<TextureStorage> TextureStorage::Wrap(uint8_t* data, uint32_t rowPitch, size_t bytes,
                                                     std::function<void()> release) {
    auto storage = std::make_shared<TextureStorage>(Key());
    storage->m_data = data;
    storage->m_rowPitch = rowPitch;
    storage->m_bytes = bytes;
    storage->m_release = std::move(release);
    return storage;
}

TextureStorage::~TextureStorage() {
    if (m_release)
        m_release();
}

Texture::Texture(const TextureDesc& desc, std::shared_ptr<TextureStorage> storage,
                 std::shared_ptr<KeyedMutex> keyedMutex, uint64_t sharedHandle,
                 std::shared_ptr<std::atomic<uint64_t>> memoryCounter)
    : m_desc(desc),
      m_storage(std::move(storage)),
      m_keyedMutex(std::move(keyedMutex)),
      m_sharedHandle(sharedHandle),
      m_memoryCounter(std::move(memoryCounter)) {
    if (m_memoryCounter) {
        m_countedBytes = m_storage->bytes();
        m_memoryCounter->fetch_add(m_countedBytes);
    }
}

Texture::~Texture() {
    if (m_memoryCounter)
        m_memoryCounter->fetch_sub(m_countedBytes);
}

}  // namespace tamro::gfx
