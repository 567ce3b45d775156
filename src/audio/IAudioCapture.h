#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tamro {

// Receives interleaved 16-bit PCM of the session format; timestamp and duration in 100-ns units.
using AudioCallback =
    std::function<void(const uint8_t* data, uint32_t bytes, int64_t timestamp, int64_t duration)>;

struct AudioLevels {
    double agcMinGain = 1.0;
    double agcMaxGain = 4.0;
    double agcTargetLevel = 0.3;
    double agcTuningA = 3.5;
    double agcTuningB = 1.2;
    double limiterThreshold = 0.7;
    double limiterKneeEnd = 0.8;
    double limiterRatio = 3.0;
    double gainSmoothing = 0.15;
};

// System, per-process and microphone capture mixed into one stream, as the session drives it.
// Threading: control calls from the session's threads; the callback runs on the output thread
// from Start until Stop returns. Volumes may change at any time.
class IAudioCapture {
  public:
    virtual ~IAudioCapture() = default;

    virtual bool Initialize(bool captureSystem, bool captureMic, const std::string& micDeviceId,
                            uint32_t sampleRate, uint32_t channels, bool noiseSuppression,
                            int32_t noiseMode, int32_t noiseStrength) = 0;
    virtual bool InitializeProcessLoopback(uint32_t pid) = 0;
    virtual void SetMicrophoneVolume(double volume) = 0;
    virtual void SetSystemVolume(double volume) = 0;
    virtual void SetDuckingEnabled(bool enabled) = 0;
    virtual void SetDuckingGain(double gain) = 0;
    virtual void SetDuckLevelDb(double levelDb) = 0;
    virtual void ConfigureLevels(const AudioLevels& levels) = 0;
    virtual void SetSessionStartTime(int64_t originNs) = 0;
    virtual void SetPaused(bool paused) = 0;
    virtual bool Start(AudioCallback callback) = 0;
    virtual void Stop() = 0;
    // After Stop: the audio still held in the buffers, up to `endTimestamp` (100-ns units, the
    // end of the video), through the callback on the calling thread. Nothing when Stop could
    // not end the threads.
    virtual void Drain(int64_t endTimestamp) = 0;
    virtual bool IsMicrophoneSilent() const = 0;
    // Audio the rings were prefilled with, in 100-ns units (0 without prefill).
    virtual int64_t RingPrefill() const = 0;
    // The sources whose device or server went away while running ("system audio",
    // "microphone" or both); empty while all are heard. From any thread.
    virtual std::string LostSources() const = 0;
    // Whether one of them went with its server (else they went with their devices).
    virtual bool LostWithServer() const = 0;
};

}  // namespace tamro
