#include "platform/gfx/SharedTextureTable.h"

namespace tamro::gfx {

SharedTextureTable& SharedTextureTable::Instance() {
    static SharedTextureTable table;
    return table;
}

uint64_t SharedTextureTable::Register(const TextureDesc& desc,
                                      const std::shared_ptr<TextureStorage>& storage,
                                      const std::shared_ptr<KeyedMutex>& keyedMutex) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_entries, [](const auto& item) { return item.second.storage.expired(); });
    const uint64_t handle = m_nextHandle;
    m_nextHandle += 4;  // handles look like the platform's: small multiples of four
    m_entries[handle] = Entry{desc, storage, keyedMutex};
    return handle;
}

bool SharedTextureTable::Lookup(uint64_t handle, TextureDesc* desc,
                                std::shared_ptr<TextureStorage>* storage,
                                std::shared_ptr<KeyedMutex>* keyedMutex) {
    std::lock_guard lock(m_mutex);
    auto it = m_entries.find(handle);
    if (it == m_entries.end())
        return false;
    *storage = it->second.storage.lock();
    if (!*storage) {
        m_entries.erase(it);
        return false;
    }
    *desc = it->second.desc;
    *keyedMutex = it->second.keyedMutex.lock();
    return true;
}

}  // namespace tamro::gfx
