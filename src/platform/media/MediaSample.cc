#include "platform/media/MediaSample.h"

#include <new>

namespace tamro::platform::media {

MediaSample MediaSample::WithCapacity(size_t bytes) {
    MediaSample sample;
    try {
        sample.data = std::make_unique_for_overwrite<uint8_t[]>(bytes);
        sample.capacity = bytes;
    } catch (const std::bad_alloc&) {
        sample.data.reset();
    }
    return sample;
}

}  // namespace tamro::platform::media
