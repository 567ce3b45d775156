#pragma once

#include <memory>
#include <vector>

#include "platform/camera/CameraSystem.h"
#include "platform/camera/V4l2Device.h"
#include "platform/camera/V4l2FrameSource.h"

namespace tamro::platform::camera {

// An opened capture node: its one frame source and the readers on it.
// Threading: the owner's threads, one call at a time.
class V4l2CaptureSession final : public CaptureSession {
  public:
    V4l2CaptureSession(SourceInfo info, std::shared_ptr<V4l2Device> device);

    std::vector<FrameSource*> FrameSources() override { return {&m_source}; }
    std::unique_ptr<FrameReader> CreateFrameReader(FrameSource& source) override;
    void Close() override { m_device->Close(); }

  private:
    std::shared_ptr<V4l2Device> m_device;
    V4l2FrameSource m_source;
};

}  // namespace tamro::platform::camera
