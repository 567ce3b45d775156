#include "platform/media/AudioStreamEncoder.h"

#include <algorithm>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace tamro::platform::media {
namespace {

constexpr int64_t kSampleTicksPerSecond = 10'000'000;

ResultCode CreateResampler(AVCodecContext& context, ResamplerPtr* resampler) {
    SwrContext* created = nullptr;
    if (swr_alloc_set_opts2(&created, &context.ch_layout, context.sample_fmt, context.sample_rate,
                            &context.ch_layout, AV_SAMPLE_FMT_S16, context.sample_rate, 0,
                            nullptr) < 0) {
        return kOutOfMemory;
    }
    resampler->reset(created);
    return swr_init(created) < 0 ? kFail : kOk;
}

}  // namespace

ResultCode AudioStreamEncoder::Create(const Config& config,
                                      std::unique_ptr<AudioStreamEncoder>* encoder) {
    CodecContextPtr context;
    if (const ResultCode result = AllocateEncoder("aac", &context); Failed(result))
        return result;
    const MediaType& output = config.output;
    av_channel_layout_default(&context->ch_layout, static_cast<int>(output.channels));
    context->sample_rate = static_cast<int>(output.samplesPerSecond);
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context->bit_rate = static_cast<int64_t>(output.averageBytesPerSecond) * 8;
    context->time_base = {1, context->sample_rate};
    if (const ResultCode result = OpenEncoder(context.get(), config.globalHeader); Failed(result))
        return result;
    ResamplerPtr resampler;
    if (const ResultCode result = CreateResampler(*context, &resampler); Failed(result))
        return result;
    AudioFifoPtr fifo(
        av_audio_fifo_alloc(context->sample_fmt, context->ch_layout.nb_channels, 4096));
    if (!fifo)
        return kOutOfMemory;
    *encoder = std::make_unique<AudioStreamEncoder>(std::move(context), std::move(resampler),
                                                    std::move(fifo));
    return kOk;
}

AudioStreamEncoder::AudioStreamEncoder(CodecContextPtr context, ResamplerPtr resampler,
                                       AudioFifoPtr fifo)
    : StreamEncoder(std::move(context), 256, false),
      m_resampler(std::move(resampler)),
      m_fifo(std::move(fifo)),
      m_planar(av_frame_alloc()) {}

ResultCode AudioStreamEncoder::Encode(MediaSample& sample) {
    AVCodecContext* context = Context();
    const int channels = context->ch_layout.nb_channels;
    const int frames = static_cast<int>(sample.length / (2 * static_cast<size_t>(channels)));
    if (frames == 0)
        return kOk;
    if (!m_started) {
        m_started = true;
        m_nextPts = av_rescale(sample.time, context->sample_rate, kSampleTicksPerSecond);
    }
    uint8_t** planes = nullptr;
    if (av_samples_alloc_array_and_samples(&planes, nullptr, channels, frames, context->sample_fmt,
                                           0) < 0) {
        return kOutOfMemory;
    }
    const uint8_t* input = sample.data.get();
    const int converted = swr_convert(m_resampler.get(), planes, frames, &input, frames);
    const int written =
        converted > 0
            ? av_audio_fifo_write(m_fifo.get(), reinterpret_cast<void**>(planes), converted)
            : converted;
    av_freep(&planes[0]);
    av_freep(&planes);
    if (written < 0)
        return ResultFromAvError(written);
    return SendBufferedFrames(context->frame_size);
}

ResultCode AudioStreamEncoder::FinishInput() {
    // The codec takes a short last frame.
    return SendBufferedFrames(1);
}

ResultCode AudioStreamEncoder::SendBufferedFrames(int minimumSamples) {
    AVCodecContext* context = Context();
    if (!m_planar)
        return kOutOfMemory;
    while (av_audio_fifo_size(m_fifo.get()) >= minimumSamples &&
           av_audio_fifo_size(m_fifo.get()) > 0) {
        const int count = std::min(av_audio_fifo_size(m_fifo.get()), context->frame_size);
        av_frame_unref(m_planar.get());
        m_planar->nb_samples = count;
        m_planar->format = context->sample_fmt;
        m_planar->sample_rate = context->sample_rate;
        if (av_channel_layout_copy(&m_planar->ch_layout, &context->ch_layout) < 0 ||
            av_frame_get_buffer(m_planar.get(), 0) < 0) {
            return kOutOfMemory;
        }
        av_audio_fifo_read(m_fifo.get(), reinterpret_cast<void**>(m_planar->data), count);
        m_planar->pts = m_nextPts;
        m_nextPts += count;
        if (const ResultCode result = SendFrame(m_planar.get()); Failed(result))
            return result;
    }
    return kOk;
}

}  // namespace tamro::platform::media
