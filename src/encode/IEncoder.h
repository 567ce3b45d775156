#pragma once

#include <cstdint>
#include <string>

#include "platform/gfx/GfxTypes.h"

namespace tamro {

struct EncoderSettings {
    std::string path;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t fps = 30;
    uint32_t videoBitrate = 4'000'000;
    uint32_t audioSampleRate = 48'000;
    uint32_t audioChannels = 2;
    uint32_t audioBitrate = 192'000;
    bool hasAudio = true;
    uint32_t profile = 1;  // 0 High, 1 Main, 2 Baseline
    uint32_t qualityVsSpeed = 50;
    bool cabac = true;
    uint32_t bFrames = 0;
    uint32_t keyframeIntervalSeconds = 1;
};

// H.264/AAC MP4 writer, as the recording session drives it.
// Threading: WriteVideoFrame and WriteAudioSample come from the capture threads, concurrently with
// each other; Finalize takes both writer locks and may run on any thread.
class IEncoder {
  public:
    virtual ~IEncoder() = default;

    virtual void SetD3DDevice(gfx::Device* device) = 0;
    virtual bool Initialize(const EncoderSettings& settings) = 0;
    // Timestamps in 100-ns units.
    virtual bool WriteVideoFrame(gfx::Texture* texture, int64_t timestamp) = 0;
    virtual void WriteAudioSample(const uint8_t* pcm, uint32_t bytes, int64_t timestamp,
                                  int64_t duration) = 0;
    // Drains the encoders and completes the file; the file is whole only after it returns.
    virtual void Finalize() = 0;
    // Closes a file nothing is to be kept of and removes it: a session discarded before it
    // recorded.
    virtual void Abandon() = 0;
    // Why the file could not be written ("disk full"); empty while it can. Any thread.
    virtual std::string WriteFailure() const = 0;
    // Grows with every packet written to the file, while recording and while Finalize runs: a
    // count that stands still means the file system stopped taking data. Any thread.
    virtual int64_t WriteProgress() const = 0;
};

}  // namespace tamro
