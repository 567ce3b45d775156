#include "platform/media/FfmpegEncoderList.h"

#include <optional>
#include <string_view>

#include "platform/media/FfmpegHandles.h"
#include "platform/media/HardwareEncoder.h"

namespace tamro::platform::media {
namespace {

constexpr const char* kSoftwareEncoder = "libx264";

// A hardware frame format stands for frames uploaded from NV12.
bool MapPixelFormat(AVPixelFormat format, Guid* subtype) {
    switch (format) {
        case AV_PIX_FMT_NV12:
        case AV_PIX_FMT_CUDA:
        case AV_PIX_FMT_VAAPI:
        case AV_PIX_FMT_QSV:
            *subtype = kSubtypeNV12;
            return true;
        case AV_PIX_FMT_YUV420P:
            *subtype = kSubtypeIYUV;
            return true;
        case AV_PIX_FMT_YUYV422:
            *subtype = kSubtypeYUY2;
            return true;
        case AV_PIX_FMT_BGR0:
            *subtype = kSubtypeRGB32;
            return true;
        case AV_PIX_FMT_BGRA:
            *subtype = kSubtypeARGB32;
            return true;
        default:
            return false;
    }
}

AVPixelFormat FirstSoftwareFormat(const AVCodec& codec) {
    for (const AVPixelFormat* format = codec.pix_fmts; format && *format != AV_PIX_FMT_NONE;
         ++format) {
        Guid ignored;
        if (MapPixelFormat(*format, &ignored) && *format != AV_PIX_FMT_CUDA &&
            *format != AV_PIX_FMT_VAAPI && *format != AV_PIX_FMT_QSV) {
            return *format;
        }
    }
    return AV_PIX_FMT_NV12;
}

class FfmpegEncoderTransform final : public EncoderTransform {
  public:
    FfmpegEncoderTransform(const AVCodec* codec, std::optional<AVHWDeviceType> deviceType,
                           BufferRefPtr device)
        : m_codec(codec), m_deviceType(deviceType), m_device(std::move(device)) {}

    ResultCode SetOutputType(const MediaType& type) override {
        m_opened = false;
        if (type.major != MajorType::kVideo || type.subtype != kSubtypeH264 || type.width == 0 ||
            type.height == 0 || type.frameRateNumerator == 0 || type.frameRateDenominator == 0) {
            return kInvalidMediaType;
        }
        CodecContextPtr context(avcodec_alloc_context3(m_codec));
        if (!context)
            return kOutOfMemory;
        context->width = static_cast<int>(type.width);
        context->height = static_cast<int>(type.height);
        context->time_base = {static_cast<int>(type.frameRateDenominator),
                              static_cast<int>(type.frameRateNumerator)};
        context->framerate = {static_cast<int>(type.frameRateNumerator),
                              static_cast<int>(type.frameRateDenominator)};
        context->bit_rate = type.averageBitrate;
        context->pix_fmt = FirstSoftwareFormat(*m_codec);
        if (m_deviceType &&
            Failed(AttachHardwareDevice(context.get(), *m_deviceType, m_device.get()))) {
            return kInvalidMediaType;
        }
        const int opened = avcodec_open2(context.get(), m_codec, nullptr);
        if (opened < 0)
            return kInvalidMediaType;
        m_opened = true;
        return kOk;
    }

    ResultCode GetInputAvailableType(uint32_t index, Guid* subtype) override {
        if (!subtype)
            return kPointer;
        if (!m_opened)
            return kNotInitialized;
        uint32_t mapped = 0;
        for (const AVPixelFormat* format = m_codec->pix_fmts; format && *format != AV_PIX_FMT_NONE;
             ++format) {
            if (MapPixelFormat(*format, subtype) && mapped++ == index)
                return kOk;
        }
        return kNoMoreTypes;
    }

  private:
    const AVCodec* m_codec;
    std::optional<AVHWDeviceType> m_deviceType;
    BufferRefPtr m_device;
    bool m_opened = false;
};

class FfmpegEncoderActivation final : public EncoderActivation {
  public:
    FfmpegEncoderActivation(const AVCodec* codec, std::optional<AVHWDeviceType> deviceType)
        : m_codec(codec), m_deviceType(deviceType) {}

    std::optional<std::string> FriendlyName() const override {
        if (!m_codec->name)
            return std::nullopt;
        return std::string(m_codec->name);
    }
    bool IsHardware() const override { return m_deviceType.has_value(); }
    uint32_t AcceptsGpuDevice() const override { return m_deviceType ? 1 : 0; }

    ResultCode Activate(std::unique_ptr<EncoderTransform>* transform) override {
        if (!transform)
            return kPointer;
        BufferRefPtr device;
        if (m_deviceType) {
            AVBufferRef* created = nullptr;
            const int result = av_hwdevice_ctx_create(&created, *m_deviceType, nullptr, nullptr, 0);
            if (result < 0)
                return ResultFromAvError(result);
            device.reset(created);
        }
        *transform =
            std::make_unique<FfmpegEncoderTransform>(m_codec, m_deviceType, std::move(device));
        return kOk;
    }

  private:
    const AVCodec* m_codec;
    std::optional<AVHWDeviceType> m_deviceType;
};

// The platform lists only hardware encoders whose device is present.
bool DevicePresent(AVHWDeviceType type) {
    AVBufferRef* device = nullptr;
    if (av_hwdevice_ctx_create(&device, type, nullptr, nullptr, 0) < 0)
        return false;
    av_buffer_unref(&device);
    return true;
}

}  // namespace

ResultCode FfmpegEncoderList::Enumerate(
    uint32_t flags, std::vector<std::unique_ptr<EncoderActivation>>* found) const {
    if (!found)
        return kPointer;
    QuietFfmpegLogging();
    found->clear();
    if (flags & kEnumHardware) {
        for (const HardwareEncoder& hardware : HardwareEncoders()) {
            const AVCodec* codec = avcodec_find_encoder_by_name(hardware.name);
            if (codec && DevicePresent(hardware.deviceType)) {
                found->push_back(
                    std::make_unique<FfmpegEncoderActivation>(codec, hardware.deviceType));
            }
        }
    }
    if (flags & (kEnumSync | kEnumAsync)) {
        if (const AVCodec* codec = avcodec_find_encoder_by_name(kSoftwareEncoder))
            found->push_back(std::make_unique<FfmpegEncoderActivation>(codec, std::nullopt));
    }
    return kOk;
}

std::shared_ptr<const EncoderList> EncoderList::CreateDefault() {
    return std::make_shared<FfmpegEncoderList>();
}

}  // namespace tamro::platform::media
