#include "platform/media/HardwareEncoder.h"

#include <array>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "platform/media/MediaTypes.h"

namespace tamro::platform::media {
namespace {

constexpr std::array<HardwareEncoder, 3> kHardwareEncoders = {{
    {"h264_nvenc", AV_HWDEVICE_TYPE_CUDA},
    {"h264_vaapi", AV_HWDEVICE_TYPE_VAAPI},
    {"h264_qsv", AV_HWDEVICE_TYPE_QSV},
}};
// Device frames kept ready for uploads, beside those the encoder holds for its own look-ahead.
constexpr int kPoolFrames = 20;

// The device pixel format of an encoder that lists no software format at all.
std::optional<AVPixelFormat> DeviceOnlyFormat(const AVCodec& codec) {
    std::optional<AVPixelFormat> device;
    for (const AVPixelFormat* format = codec.pix_fmts; format && *format != AV_PIX_FMT_NONE;
         ++format) {
        const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(*format);
        if (!descriptor || !(descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL))
            return std::nullopt;
        device = device ? device : *format;
    }
    return device;
}

ResultCode CreateFramePool(AVCodecContext* context, AVBufferRef* device, AVPixelFormat format) {
    BufferRefPtr frames(av_hwframe_ctx_alloc(device));
    if (!frames)
        return kOutOfMemory;
    auto* pool = reinterpret_cast<AVHWFramesContext*>(frames->data);
    pool->format = format;
    pool->sw_format = context->pix_fmt;
    pool->width = context->width;
    pool->height = context->height;
    pool->initial_pool_size = kPoolFrames;
    if (const int initialised = av_hwframe_ctx_init(frames.get()); initialised < 0)
        return ResultFromAvError(initialised);
    context->hw_frames_ctx = frames.release();
    context->pix_fmt = format;
    return kOk;
}

}  // namespace

std::span<const HardwareEncoder> HardwareEncoders() {
    return kHardwareEncoders;
}

std::optional<AVHWDeviceType> HardwareDeviceOf(std::string_view encoderName) {
    for (const HardwareEncoder& encoder : kHardwareEncoders) {
        if (encoderName == encoder.name)
            return encoder.deviceType;
    }
    return std::nullopt;
}

ResultCode AttachHardwareDevice(AVCodecContext* context, AVHWDeviceType type, AVBufferRef* device) {
    BufferRefPtr owned;
    if (device) {
        owned.reset(av_buffer_ref(device));
    } else {
        AVBufferRef* created = nullptr;
        if (const int result = av_hwdevice_ctx_create(&created, type, nullptr, nullptr, 0);
            result < 0) {
            return ResultFromAvError(result);
        }
        owned.reset(created);
    }
    if (!owned)
        return kOutOfMemory;
    if (const std::optional<AVPixelFormat> format = DeviceOnlyFormat(*context->codec)) {
        if (const ResultCode pooled = CreateFramePool(context, owned.get(), *format);
            Failed(pooled)) {
            return pooled;
        }
    }
    context->hw_device_ctx = owned.release();
    return kOk;
}

ResultCode UploadFrame(AVCodecContext* context, const AVFrame* frame, FramePtr* uploaded) {
    uploaded->reset();
    if (!context->hw_frames_ctx)
        return kOk;
    FramePtr device(av_frame_alloc());
    if (!device)
        return kOutOfMemory;
    if (const int got = av_hwframe_get_buffer(context->hw_frames_ctx, device.get(), 0); got < 0)
        return ResultFromAvError(got);
    if (const int copied = av_hwframe_transfer_data(device.get(), frame, 0); copied < 0)
        return ResultFromAvError(copied);
    device->pts = frame->pts;
    device->pkt_duration = frame->pkt_duration;
    *uploaded = std::move(device);
    return kOk;
}

}  // namespace tamro::platform::media
