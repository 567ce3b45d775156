#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "platform/media/FfmpegHandles.h"

extern "C" {
#include <libavutil/hwcontext.h>
}

namespace tamro::platform::media {

// libavcodec's hardware H.264 encoders, in the order they are preferred, and the device each
// works on.
struct HardwareEncoder {
    const char* name;
    AVHWDeviceType deviceType;
};
std::span<const HardwareEncoder> HardwareEncoders();
std::optional<AVHWDeviceType> HardwareDeviceOf(std::string_view encoderName);

// Gives a configured context (size and software pixel format set) of a hardware encoder its
// device: `device` when given, else a new one of `type`. An encoder that takes frames only in
// device memory also gets a pool of device frames backed by the context's software format, and
// its pixel format becomes the device's; frames are then uploaded with UploadFrame.
ResultCode AttachHardwareDevice(AVCodecContext* context, AVHWDeviceType type, AVBufferRef* device);
// `frame` copied into a device frame of the context's pool; the frame itself when it has none.
ResultCode UploadFrame(AVCodecContext* context, const AVFrame* frame, FramePtr* uploaded);

}  // namespace tamro::platform::media
