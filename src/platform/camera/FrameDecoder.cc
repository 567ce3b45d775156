// Stand-in until the decoder lands: reads the 32-bit BGR formats only; other formats come out
// as unreadable frames.
#include "platform/camera/FrameDecoder.h"

namespace tamro::platform::camera {

struct FrameDecoder::Jpeg {};

FrameDecoder::FrameDecoder() = default;
FrameDecoder::~FrameDecoder() = default;

bool FrameDecoder::Reads(uint32_t fourcc) {
    return fourcc == Fourcc('B', 'G', 'R', '4') || fourcc == Fourcc('A', 'R', '2', '4') ||
           fourcc == Fourcc('Y', 'U', 'Y', 'V') || fourcc == Fourcc('N', 'V', '1', '2') ||
           fourcc == Fourcc('M', 'J', 'P', 'G');
}

Frame FrameDecoder::Decode(const VideoFormat& format, const uint8_t* data, size_t bytes) {
    Frame frame{.data = nullptr,
                .stride = format.width * 4,
                .width = format.width,
                .height = format.height};
    const size_t size = static_cast<size_t>(frame.stride) * format.height;
    const bool bgrx =
        format.fourcc == Fourcc('B', 'G', 'R', '4') || format.fourcc == Fourcc('A', 'R', '2', '4');
    if (!bgrx || bytes < size)
        return frame;
    m_bgra.assign(data, data + size);
    for (size_t i = 3; i < size; i += 4)
        m_bgra[i] = 0xFF;
    frame.data = m_bgra.data();
    return frame;
}

}  // namespace tamro::platform::camera
