#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/camera/CameraSystem.h"

namespace tamro::platform::camera {

// Turns one captured buffer of a camera format into an opaque BGRA picture: YUYV and NV12 with
// libyuv, MJPEG with libjpeg-turbo straight to BGRA, BGR4/AR24 by copy. Keeps its output buffer
// and decoder state between frames, so a steady stream allocates nothing per frame.
// Threading: one thread at a time (the reader's).
class FrameDecoder {
  public:
    FrameDecoder();
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    // True when `fourcc` is a format this decoder reads.
    static bool Reads(uint32_t fourcc);

    // Decodes `bytes` bytes of a `format` frame. The result's data is null when the buffer is
    // short or corrupt; it stays valid until the next call.
    Frame Decode(const VideoFormat& format, const uint8_t* data, size_t bytes);

  private:
    struct Jpeg;

    void ForceOpaque(uint32_t width, uint32_t height);

    std::unique_ptr<Jpeg> m_jpeg;
    std::vector<uint8_t> m_bgra;
    std::vector<uint8_t> m_opaqueRow;
};

}  // namespace tamro::platform::camera
