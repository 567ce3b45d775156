#include "platform/media/VideoStreamEncoder.h"

#include <libyuv.h>

#include <string_view>

#include "platform/media/HardwareEncoder.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace tamro::platform::media {
namespace {

constexpr AVRational kSampleTimeBase = {1, 10'000'000};

// Frames whose planes lie in place in the sample: NV12, IYUV and YV12 (planes swapped).
bool IsInPlace(const Guid& subtype) {
    return subtype == kSubtypeNV12 || subtype == kSubtypeIYUV || subtype == kSubtypeYV12;
}

size_t FrameBytes(const Guid& subtype, int width, int height) {
    const size_t pixels = static_cast<size_t>(width) * height;
    if (subtype == kSubtypeRGB32 || subtype == kSubtypeARGB32)
        return pixels * 4;
    if (subtype == kSubtypeYUY2)
        return pixels * 2;
    return pixels * 3 / 2;
}

const char* ProfileName(uint32_t profile) {
    switch (profile) {
        case kProfileBaseline:
            return "baseline";
        case kProfileHigh:
            return "high";
        default:
            return "main";
    }
}

void ApplyColourTags(const MediaType& type, AVCodecContext* context) {
    if (type.yuvMatrix == kYuvMatrixBT709)
        context->colorspace = AVCOL_SPC_BT709;
    if (type.videoPrimaries == kPrimariesBT709)
        context->color_primaries = AVCOL_PRI_BT709;
    if (type.transferFunction == kTransferBT709)
        context->color_trc = AVCOL_TRC_BT709;
    context->color_range = AVCOL_RANGE_MPEG;
}

void ApplySettings(const CodecSettings& settings, AVCodecContext* context) {
    av_opt_set(context->priv_data, "preset",
               VideoStreamEncoder::PresetFor(settings.qualityVsSpeed.value_or(50)), 0);
    if (settings.cabacEnable)
        av_opt_set(context->priv_data, "coder", *settings.cabacEnable ? "cabac" : "cavlc", 0);
    // Without a setting the stream has no B-frames, as the platform's encoder defaults.
    context->max_b_frames = static_cast<int>(settings.bPictureCount.value_or(0));
    if (settings.gopSize && *settings.gopSize > 0)
        context->gop_size = static_cast<int>(*settings.gopSize);
}

}  // namespace

const char* VideoStreamEncoder::PresetFor(uint32_t qualityVsSpeed) {
    // The middle of the range must encode 1080p at twice real time on two cores.
    if (qualityVsSpeed < 20)
        return "ultrafast";
    if (qualityVsSpeed < 40)
        return "superfast";
    if (qualityVsSpeed < 60)
        return "veryfast";
    if (qualityVsSpeed < 70)
        return "faster";
    if (qualityVsSpeed < 80)
        return "fast";
    if (qualityVsSpeed < 90)
        return "medium";
    return "slow";
}

bool VideoStreamEncoder::IsSupportedInput(const Guid& subtype) {
    return subtype == kSubtypeNV12 || subtype == kSubtypeIYUV || subtype == kSubtypeYV12 ||
           subtype == kSubtypeYUY2 || subtype == kSubtypeRGB32 || subtype == kSubtypeARGB32;
}

namespace {

// The format frames arrive in: the codec's own, or the one its device frames are uploaded from.
AVPixelFormat SoftwareFormat(const AVCodecContext& context) {
    if (!context.hw_frames_ctx)
        return context.pix_fmt;
    return reinterpret_cast<const AVHWFramesContext*>(context.hw_frames_ctx->data)->sw_format;
}

ResultCode OpenNamed(const char* name, const VideoStreamEncoder::Config& config,
                     CodecContextPtr* opened) {
    CodecContextPtr context;
    if (const ResultCode result = AllocateEncoder(name, &context); Failed(result))
        return result;
    const MediaType& output = config.output;
    context->width = static_cast<int>(output.width);
    context->height = static_cast<int>(output.height);
    context->time_base = kSampleTimeBase;
    context->framerate = {static_cast<int>(output.frameRateNumerator),
                          static_cast<int>(output.frameRateDenominator)};
    context->bit_rate = output.averageBitrate;
    if (output.pixelAspectNumerator && output.pixelAspectDenominator) {
        context->sample_aspect_ratio = {static_cast<int>(output.pixelAspectNumerator),
                                        static_cast<int>(output.pixelAspectDenominator)};
    }
    context->pix_fmt = config.input.subtype == kSubtypeNV12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
    ApplyColourTags(output, context.get());
    av_opt_set(context->priv_data, "profile", ProfileName(output.profile), 0);
    ApplySettings(config.settings, context.get());
    if (const std::optional<AVHWDeviceType> device = HardwareDeviceOf(name)) {
        if (const ResultCode attached = AttachHardwareDevice(context.get(), *device, nullptr);
            Failed(attached)) {
            return attached;
        }
    }
    if (const ResultCode result = OpenEncoder(context.get(), config.globalHeader); Failed(result))
        return result;
    *opened = std::move(context);
    return kOk;
}

}  // namespace

ResultCode VideoStreamEncoder::Create(const Config& config,
                                      std::unique_ptr<VideoStreamEncoder>* encoder) {
    CodecContextPtr context;
    const std::string_view chosen = config.encoderName;
    // A chosen encoder that does not open at this size (a hardware one's minimum, a missing
    // device) leaves the stream to libx264.
    if (chosen.empty() || chosen == kSoftwareEncoder ||
        Failed(OpenNamed(config.encoderName.c_str(), config, &context))) {
        if (const ResultCode result = OpenNamed(kSoftwareEncoder, config, &context);
            Failed(result)) {
            return result;
        }
    }
    *encoder = std::make_unique<VideoStreamEncoder>(std::move(context), config);
    return kOk;
}

VideoStreamEncoder::VideoStreamEncoder(CodecContextPtr context, const Config& config)
    : StreamEncoder(std::move(context), config.queueCapacity, config.waitWhenFull),
      m_inputSubtype(config.input.subtype),
      m_width(static_cast<int>(config.output.width)),
      m_height(static_cast<int>(config.output.height)) {}

const char* VideoStreamEncoder::EncoderName() const {
    return Context()->codec->name;
}

ResultCode VideoStreamEncoder::Send(AVFrame* frame) {
    FramePtr uploaded;
    if (const ResultCode result = UploadFrame(Context(), frame, &uploaded); Failed(result))
        return result;
    return SendFrame(uploaded ? uploaded.get() : frame);
}

ResultCode VideoStreamEncoder::Encode(MediaSample& sample) {
    if (sample.repeatsPrevious)
        return EncodeRepeat(sample);
    if (sample.length < FrameBytes(m_inputSubtype, m_width, m_height))
        return kInvalidArg;
    return IsInPlace(m_inputSubtype) ? EncodeInPlace(sample) : EncodeConverted(sample);
}

// The codec reads the planes straight from the sample's memory, which the frame then owns.
ResultCode VideoStreamEncoder::EncodeInPlace(MediaSample& sample) {
    FramePtr frame(av_frame_alloc());
    if (!frame)
        return kOutOfMemory;
    uint8_t* base = sample.data.get();
    // The frame's buffer gives the memory back the way the sample would have.
    auto release = std::make_unique<SampleRelease>(sample.data.get_deleter());
    AVBufferRef* owner = av_buffer_create(
        base, sample.capacity,
        [](void* opaque, uint8_t* data) {
            const std::unique_ptr<SampleRelease> owned(static_cast<SampleRelease*>(opaque));
            (*owned)(data);
        },
        release.get(), 0);
    if (!owner)
        return kOutOfMemory;
    release.release();
    sample.data.release();
    frame->buf[0] = owner;
    const size_t lumaBytes = static_cast<size_t>(m_width) * m_height;
    frame->format = SoftwareFormat(*Context());
    frame->width = m_width;
    frame->height = m_height;
    frame->data[0] = base;
    frame->linesize[0] = m_width;
    if (m_inputSubtype == kSubtypeNV12) {
        frame->data[1] = base + lumaBytes;
        frame->linesize[1] = m_width;
    } else {
        uint8_t* first = base + lumaBytes;
        uint8_t* second = first + lumaBytes / 4;
        const bool swapped = m_inputSubtype == kSubtypeYV12;
        frame->data[1] = swapped ? second : first;
        frame->data[2] = swapped ? first : second;
        frame->linesize[1] = frame->linesize[2] = m_width / 2;
    }
    frame->pts = sample.time;
    frame->pkt_duration = sample.duration;
    return SendAndKeep(frame.get());
}

ResultCode VideoStreamEncoder::EncodeConverted(const MediaSample& sample) {
    if (!m_converted) {
        m_converted.reset(av_frame_alloc());
        if (!m_converted)
            return kOutOfMemory;
        m_converted->format = AV_PIX_FMT_YUV420P;
        m_converted->width = m_width;
        m_converted->height = m_height;
        if (av_frame_get_buffer(m_converted.get(), 0) < 0)
            return kOutOfMemory;
    }
    // The codec may still hold the previous frame's planes.
    if (av_frame_make_writable(m_converted.get()) < 0)
        return kOutOfMemory;
    AVFrame* frame = m_converted.get();
    const uint8_t* src = sample.data.get();
    if (m_inputSubtype == kSubtypeYUY2) {
        libyuv::YUY2ToI420(src, m_width * 2, frame->data[0], frame->linesize[0], frame->data[1],
                           frame->linesize[1], frame->data[2], frame->linesize[2], m_width,
                           m_height);
    } else {
        libyuv::ARGBToI420(src, m_width * 4, frame->data[0], frame->linesize[0], frame->data[1],
                           frame->linesize[1], frame->data[2], frame->linesize[2], m_width,
                           m_height);
    }
    frame->pts = sample.time;
    frame->pkt_duration = sample.duration;
    return SendAndKeep(frame);
}

ResultCode VideoStreamEncoder::EncodeRepeat(const MediaSample& sample) {
    if (!m_previous)
        return kOk;  // nothing shown yet to repeat; the stream goes on
    const FramePtr frame(av_frame_clone(m_previous.get()));
    if (!frame)
        return kOutOfMemory;
    frame->pts = sample.time;
    frame->pkt_duration = sample.duration;
    return Send(frame.get());
}

// Keeps a reference to the picture for repeats; the codec has its own.
ResultCode VideoStreamEncoder::SendAndKeep(AVFrame* frame) {
    m_previous.reset(av_frame_clone(frame));
    return Send(frame);
}

}  // namespace tamro::platform::media
