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
    const int64_t at = av_rescale(sample.time, context->sample_rate, kSampleTicksPerSecond);
    if (!m_started) {
        m_started = true;
        m_nextPts = at;
    }
    const int64_t slack = context->sample_rate / 500;
    const int64_t end = m_nextPts + av_audio_fifo_size(m_fifo.get());
    int skipped = 0;
    if (at > end + slack) {
        if (const ResultCode padded = PadSilence(at - end); Failed(padded))
            return padded;
    } else if (at < end - slack) {
        skipped = static_cast<int>(std::min<int64_t>(frames, end - at));
        if (skipped == frames)
            return kOk;
    }
    const int kept = frames - skipped;
    uint8_t** planes = nullptr;
    if (av_samples_alloc_array_and_samples(&planes, nullptr, channels, kept, context->sample_fmt,
                                           0) < 0) {
        return kOutOfMemory;
    }
    const uint8_t* input = sample.data.get() + static_cast<size_t>(skipped) * 2 * channels;
    const int converted = swr_convert(m_resampler.get(), planes, kept, &input, kept);
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

ResultCode AudioStreamEncoder::PadSilence(int64_t frames) {
    AVCodecContext* context = Context();
    const int channels = context->ch_layout.nb_channels;
    // A time far ahead is a caller's fault; a few seconds of silence is as far as it gets.
    int64_t left = std::min<int64_t>(frames, 10LL * context->sample_rate);
    const int chunk = std::max(context->frame_size, 1024);
    uint8_t** planes = nullptr;
    if (av_samples_alloc_array_and_samples(&planes, nullptr, channels, chunk, context->sample_fmt,
                                           0) < 0) {
        return kOutOfMemory;
    }
    av_samples_set_silence(planes, 0, chunk, channels, context->sample_fmt);
    int written = 0;
    while (left > 0 && written >= 0) {
        const int count = static_cast<int>(std::min<int64_t>(left, chunk));
        written = av_audio_fifo_write(m_fifo.get(), reinterpret_cast<void**>(planes), count);
        left -= count;
    }
    av_freep(&planes[0]);
    av_freep(&planes);
    return written < 0 ? ResultFromAvError(written) : kOk;
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
