#include "platform/media/MediaSample.h"

#include <new>

namespace tamro::platform::media {

void SampleRelease::operator()(uint8_t* data) const {
    if (data == nullptr)
        return;
    if (pool)
        pool->Give(data, capacity);
    else
        std::default_delete<uint8_t[]>()(data);
}

MediaSample MediaSample::WithCapacity(size_t bytes) {
    MediaSample sample;
    try {
        sample.data = {std::make_unique_for_overwrite<uint8_t[]>(bytes).release(),
                       SampleRelease{nullptr, bytes}};
        sample.capacity = bytes;
    } catch (const std::bad_alloc&) {
        sample.data.reset();
    }
    return sample;
}

std::shared_ptr<SamplePool> SamplePool::Create(size_t kept) {
    return std::make_shared<SamplePool>(Key(), kept);
}

MediaSample SamplePool::Take(size_t bytes) {
    std::unique_ptr<uint8_t[]> reused;
    {
        std::lock_guard lock(m_mutex);
        while (!m_free.empty() && !reused) {
            auto [buffer, capacity] = std::move(m_free.back());
            m_free.pop_back();
            if (capacity == bytes)
                reused = std::move(buffer);  // other sizes are from before a size change: freed
        }
    }
    MediaSample sample = reused ? MediaSample{} : MediaSample::WithCapacity(bytes);
    if (reused) {
        sample.data = {reused.release(), SampleRelease{}};
        sample.capacity = bytes;
    }
    if (sample.data)
        sample.data.get_deleter() = SampleRelease{shared_from_this(), bytes};
    return sample;
}

void SamplePool::Give(uint8_t* data, size_t capacity) {
    std::unique_ptr<uint8_t[]> owned(data);
    std::lock_guard lock(m_mutex);
    if (m_free.size() < m_kept)
        m_free.emplace_back(std::move(owned), capacity);
}

}  // namespace tamro::platform::media
