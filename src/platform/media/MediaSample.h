#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tamro::platform::media {

class SamplePool;

// Gives a sample's memory back to the pool it came from, or deletes it.
struct SampleRelease {
    std::shared_ptr<SamplePool> pool;
    size_t capacity = 0;
    void operator()(uint8_t* data) const;
};

// Uncompressed data for one stream: a frame in the stream's input format or a block of PCM.
// Times are in 100-ns units. Ownership moves into the writer with the sample.
struct MediaSample {
    std::unique_ptr<uint8_t[], SampleRelease> data;
    size_t capacity = 0;
    size_t length = 0;
    int64_t time = 0;
    int64_t duration = 0;
    // A video frame that shows the previous frame's picture again; it carries no data.
    bool repeatsPrevious = false;

    // Uninitialised memory of `bytes`; empty (null data) when it cannot be had.
    static MediaSample WithCapacity(size_t bytes);
};

// Keeps the memory of samples that went through the writer for the next ones. A frame's worth of
// memory fresh from the system every frame costs more in page faults than converting the frame.
// Threading: any thread; samples may be released on another thread than the one that took them.
class SamplePool : public std::enable_shared_from_this<SamplePool> {
  public:
    struct Key {
      private:
        Key() = default;
        friend class SamplePool;
    };
    // Keeps at most `kept` buffers for reuse.
    static std::shared_ptr<SamplePool> Create(size_t kept);
    SamplePool(Key, size_t kept) : m_kept(kept) {}

    // Uninitialised memory of `bytes`; empty (null data) when it cannot be had.
    MediaSample Take(size_t bytes);

  private:
    friend struct SampleRelease;
    void Give(uint8_t* data, size_t capacity);

    const size_t m_kept;
    std::mutex m_mutex;
    std::vector<std::pair<std::unique_ptr<uint8_t[]>, size_t>> m_free;
};

}  // namespace tamro::platform::media
