#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/camera/CameraSystem.h"
#include "platform/camera/V4l2Device.h"

namespace tamro::platform::camera {

// A capture node's formats, read and set through the driver.
// Threading: the owner's threads, one call at a time.
class V4l2FrameSource final : public FrameSource {
  public:
    V4l2FrameSource(SourceInfo info, std::shared_ptr<V4l2Device> device);

    const SourceInfo& Info() const override { return m_info; }
    // Every (pixel format, size, interval) in the driver's order. A size or interval range
    // contributes its largest size and its shortest interval.
    std::vector<FrameFormat> SupportedFormats() override;
    FrameFormat CurrentFormat() override;
    // The driver adjusts what it cannot do; any change of pixel format or size is a refusal. The
    // rate is the driver's nearest.
    void SetFormat(const VideoFormat& format) override;

  private:
    struct Size {
        uint32_t width = 0;
        uint32_t height = 0;
    };
    // Frame intervals as (numerator, denominator) seconds.
    using Interval = std::pair<uint32_t, uint32_t>;

    std::vector<uint32_t> PixelFormats();
    std::vector<Size> FrameSizes(uint32_t fourcc);
    std::vector<Interval> FrameIntervals(uint32_t fourcc, Size size);
    void SetRate(const VideoFormat& format);
    // Throws for the errors that mean the device is gone, not that a list has ended.
    void ThrowIfGone(int error) const;

    SourceInfo m_info;
    std::shared_ptr<V4l2Device> m_device;
};

}  // namespace tamro::platform::camera
