#include "platform/camera/V4l2CaptureSession.h"

#include <cerrno>
#include <utility>

#include "platform/camera/V4l2FrameReader.h"

namespace tamro::platform::camera {

V4l2CaptureSession::V4l2CaptureSession(SourceInfo info, std::shared_ptr<V4l2Device> device)
    : m_device(device), m_source(std::move(info), std::move(device)) {}

std::unique_ptr<FrameReader> V4l2CaptureSession::CreateFrameReader(FrameSource& source) {
    if (&source != &m_source)
        throw CameraError(EINVAL, m_device->Path() + ": the source is not this camera's");
    return std::make_unique<V4l2FrameReader>(m_device);
}

}  // namespace tamro::platform::camera
