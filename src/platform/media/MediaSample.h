#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tamro::platform::media {

// Uncompressed data for one stream: a frame in the stream's input format or a block of PCM.
// Times are in 100-ns units. Ownership moves into the writer with the sample.
struct MediaSample {
    std::unique_ptr<uint8_t[]> data;
    size_t capacity = 0;
    size_t length = 0;
    int64_t time = 0;
    int64_t duration = 0;

    // Uninitialised memory of `bytes`; empty (null data) when it cannot be had.
    static MediaSample WithCapacity(size_t bytes);
};

}  // namespace tamro::platform::media
