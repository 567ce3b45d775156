#pragma once

#include <memory>

#include "platform/media/MediaTypes.h"
#include "platform/media/StreamEncoder.h"

namespace tamro::platform::media {

// AAC through libavcodec's encoder, fed with interleaved 16-bit PCM blocks of any length.
// The stream's timeline follows the blocks' times: a block that starts later than the audio before
// it ends is preceded by silence, and one that starts earlier loses the part that overlaps, so the
// audio stays where its times put it against the video. Differences under 2 ms are left to the
// sample count, which keeps the sound free of small cuts.
class AudioStreamEncoder final : public StreamEncoder {
  public:
    struct Config {
        MediaType output;
        MediaType input;
        bool globalHeader = false;
        size_t queueCapacity = 0;
        bool waitWhenFull = false;
    };

    static ResultCode Create(const Config& config, std::unique_ptr<AudioStreamEncoder>* encoder);

    AudioStreamEncoder(CodecContextPtr context, ResamplerPtr resampler, AudioFifoPtr fifo);

  protected:
    ResultCode Encode(MediaSample& sample) override;
    ResultCode FinishInput() override;

  private:
    ResultCode SendBufferedFrames(int minimumSamples);

    ResamplerPtr m_resampler;
    AudioFifoPtr m_fifo;
    FramePtr m_planar;
    // Silence into the buffer ahead of a block that starts after the audio so far ends.
    ResultCode PadSilence(int64_t frames);

    bool m_started = false;
    int64_t m_nextPts = 0;
};

}  // namespace tamro::platform::media
