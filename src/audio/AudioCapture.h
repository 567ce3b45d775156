#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio/AudioSourceOpener.h"
#include "audio/CatmullRomResampler.h"
#include "audio/DriftServo.h"
#include "audio/GapRealigner.h"
#include "audio/IAudioCapture.h"
#include "audio/MicSilenceWatch.h"
#include "audio/OutputMixer.h"
#include "audio/OutputStatistics.h"
#include "audio/RnNoiseProcessor.h"
#include "audio/SampleRing.h"
#include "audio/SourceReviver.h"
#include "audio/SourceStatistics.h"
#include "platform/audio/AudioDevicesFactory.h"
#include "platform/audio/AudioEndpoint.h"
#include "platform/audio/WakeEvent.h"
#include "platform/system/BackgroundTask.h"
#include "platform/system/Clock.h"
#include "platform/system/SteadyClock.h"

namespace tamro {

// System (or process-tree) and microphone capture into one ring per source: endpoint packets are
// converted to stereo float at the output rate, the microphone is resampled when its rate
// differs, and a drift servo per source trims the conversion so each ring holds about 128 ms.
// The output thread takes one 1024-frame block from each ring on its own clock, mixes them
// (OutputMixer), stamps the block on the session's time base and hands it to the callback.
// Threading: Initialize*, Start, Stop and the setters come from the recorder's threads (Start and
// Stop serialised by the recorder). The capture thread (from Start to Stop) writes both rings;
// the output thread (or a test driving simulated time through OutputTick) reads them. A capture
// thread whose join Stop abandoned is waited for by the destructor, so it never outlives the
// members it uses.
class AudioCapture final : public IAudioCapture {
  public:
    struct Options {
        platform::AudioDevicesConnector connect = platform::PlatformAudioDevices();
        std::function<int64_t()> clock;  // nanoseconds; the steady clock when empty
                                         // False: Start starts the endpoints but no thread, and the
                                         // owner calls CaptureWake and
        // OutputTick (or the ring reads) itself, on a simulated clock.
        bool runThreads = true;
        // How often a source whose server went away is tried again.
        std::chrono::milliseconds reconnectPeriod{1000};
        // What the output thread waits on between its ticks (the steady clock when empty); a test
        // gives the clock `clock` reads.
        std::shared_ptr<platform::Clock> pacing;
    };

    using SourceStatistics = tamro::SourceStatistics;

    // One output block read from both rings; the counts are in samples.
    struct RingBlocks {
        size_t micUsed = 0;  // before the read
        size_t sysUsed = 0;
        size_t micGot = 0;
        size_t sysGot = 0;
    };

    static constexpr int64_t kPrefill100ns = 1'280'000;
    static constexpr size_t kPrefillSamples = 12'288;  // 128 ms of stereo at 48 kHz
    static constexpr std::chrono::milliseconds kJoinLimit{300};
    static constexpr std::chrono::milliseconds kWakeCap{20};

    AudioCapture();
    explicit AudioCapture(Options options);
    ~AudioCapture() override;
    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    // IAudioCapture
    bool Initialize(bool captureSystem, bool captureMic, const std::string& micDeviceId,
                    uint32_t sampleRate, uint32_t channels, bool noiseSuppression,
                    int32_t noiseMode, int32_t noiseStrength) override;
    bool InitializeProcessLoopback(uint32_t pid) override;
    // The levels are the mixer's.
    void SetMicrophoneVolume(double volume) override { m_mixer.SetMicrophoneVolume(volume); }
    void SetSystemVolume(double volume) override { m_mixer.SetSystemVolume(volume); }
    void SetDuckingEnabled(bool enabled) override { m_mixer.SetDuckingEnabled(enabled); }
    void SetDuckingGain(double gain) override { m_mixer.SetDuckingGain(gain); }
    void SetDuckLevelDb(double levelDb) override { m_mixer.SetDuckLevelDb(levelDb); }
    void ConfigureLevels(const AudioLevels& levels) override { m_mixer.ConfigureLevels(levels); }
    void SetSessionStartTime(int64_t originNs) override {
        m_sessionEpoch = originNs;
        m_hasSessionEpoch = true;
    }
    void SetPaused(bool paused) override { m_isPaused = paused; }
    bool Start(AudioCallback callback) override;
    void Stop() override;
    void Drain(int64_t endTimestamp) override;
    bool IsMicrophoneSilent() const override { return m_micSilence.IsSilent(); }
    int64_t RingPrefill() const override { return m_prefill; }
    std::string LostSources() const override;
    bool LostWithServer() const override;

    using LevelCallback = std::function<void(float micRms, float sysRms)>;
    // Called with the block levels at most every 33 ms, on the output thread. Set before Start.
    void SetLevelCallback(LevelCallback callback) { m_levelCallback = std::move(callback); }

    bool InitializeLoopback();
    bool InitializeMicrophone(const std::string& deviceId);

    // One capture wake: the system source's packets, then the microphone's.
    void CaptureWake();
    void DrainLoopback();
    void DrainMicrophone();

    // One output block (the output thread's tick while not paused); `lagUs` is how late the tick
    // woke.
    void OutputTick(int64_t lagUs);
    // Timestamp of the block after `framesSent` frames, 100-ns units, never below 0.
    int64_t BlockTimestamp(uint64_t framesSent) const;

    // For the output thread, once per block: both rings read into kBlockSamples blocks, then the
    // servo updates with the fills noted before the reads and the block's wake lag.
    RingBlocks ReadRingBlocks(float* micBlock, float* sysBlock);
    void UpdateDriftServos(const RingBlocks& blocks, int64_t lagUs);
    // `used` is the ring's fill before the read, in samples.
    void UpdateDriftServo(DriftServo& servo, GapRealigner& realigner, size_t used, bool skip,
                          uint64_t rawFrames, std::atomic<double>& correction, const char* label);

    // A source that opened stays one while lost: its part of the mix is silence until it is back.
    bool HasMicrophone() const { return m_hasMic.load(); }
    bool HasSystem() const { return m_hasSystem.load(); }
    bool IsRunning() const { return m_running.load(); }
    bool ServoEnabled() const { return m_servoEnabled; }
    bool IsProcessLoopbackActive() const { return m_processLoopbackActive; }
    uint32_t ProcessLoopbackPid() const { return m_processLoopbackPid; }
    int64_t StreamLatency() const { return m_streamLatency; }
    int64_t PtsTrim() const { return m_ptsTrim; }
    int64_t StartOffset() const { return m_startOffset.load(); }
    double MicCorrection() const { return m_micCorrection.load(); }
    double SysCorrection() const { return m_sysCorrection.load(); }
    const platform::AudioFormat& MicFormat() const { return m_micFormat; }
    const platform::AudioFormat& SystemFormat() const { return m_systemFormat; }
    const SourceStatistics& MicStatistics() const { return m_micStats; }
    const SourceStatistics& SystemStatistics() const { return m_sysStats; }
    const SampleRing& MicRing() const { return m_micRing; }
    const SampleRing& SystemRing() const { return m_sysRing; }
    uint32_t SampleRate() const { return m_sampleRate; }
    const OutputMixer& Mixer() const { return m_mixer; }
    const OutputStatistics& OutputStats() const { return m_outputStats; }
    uint64_t FramesSent() const { return m_samplesSent.load(); }
    int32_t NoiseMode() const { return m_noiseMode; }
    const RnNoiseProcessor* NoiseProcessor() const { return m_noiseProcessor.get(); }

  private:
    void AdoptSystemSource(AudioSourceOpener::Source source);
    void AdoptMicrophoneSource(AudioSourceOpener::Source source);
    // On the capture thread: a lost source asks for its return, a returned one goes back in.
    void ReviveLost(SourceStatistics& stats);
    void NoteSourceEnd(uint32_t status, SourceStatistics& stats);
    void AdoptRevived();

    void ReadStartEnvironment();
    void ResetServos();
    void Prefill();
    void MeasureStreamLatency();
    void LogStartConfiguration() const;
    void StartEndpoints();
    bool PreviousThreadsFinished();
    void ApplyNoisePreset();
    void CaptureThread();
    void OutputThread();
    void CallLevelCallback();
    int64_t UnflooredTimestamp(uint64_t framesSent) const;
    void DeliverBlock();
    void EndOutputWindow();

    // One source's packets appended to `collected`; the frames taken.
    size_t DrainPackets(platform::AudioEndpoint& endpoint, const platform::AudioFormat& format,
                        SourceStatistics& stats, std::vector<float>* collected);
    void WriteMicResampled(size_t frames);
    void WriteSystemServoed(size_t frames);
    // With the servo on, a gap in deliveries first brings the ring back to the set-point.
    void WriteRealigned(GapRealigner& realigner, SampleRing& ring,
                        const std::vector<float>& samples, SourceStatistics& stats);
    void WriteRing(SampleRing& ring, std::span<const float> samples, SourceStatistics& stats);
    // Samples the output thread would have read by now on its schedule and has not.
    size_t OutputOwedSamples(int64_t nowNs) const;
    void NoteOutputDeadline(int64_t deadlineNs);

    const Options m_options;
    const std::function<int64_t()> m_clock;
    const std::shared_ptr<platform::Clock> m_pacing;
    std::mutex m_outputWaitMutex;  // with m_outputWake: Stop wakes the output thread at once
    std::condition_variable_any m_outputWake;
    AudioSourceOpener m_opener;  // before the endpoints: their server connection outlives them

    uint32_t m_sampleRate = 48000;
    uint32_t m_channels = 2;
    bool m_captureSystem = false;
    bool m_captureMic = false;
    int32_t m_noiseMode = 0;
    uint32_t m_noiseStrength = 1;
    bool m_processLoopbackActive = false;
    uint32_t m_processLoopbackPid = 0;

    std::unique_ptr<platform::AudioEndpoint> m_sysEndpoint;
    std::unique_ptr<platform::AudioEndpoint> m_micEndpoint;
    std::atomic<bool> m_hasSystem{false};
    std::atomic<bool> m_hasMic{false};
    std::atomic<uint32_t> m_sysNominalRate{0};  // the source formats' rates, for the statistics
    std::atomic<uint32_t> m_micNominalRate{0};
    std::string m_micNamedDevice;  // the microphone to open again when it is lost
    std::shared_ptr<platform::WakeEvent> m_sysEvent;
    std::shared_ptr<platform::WakeEvent> m_micEvent;
    std::unique_ptr<SourceReviver> m_reviver;
    platform::WakeEvent m_stopEvent{platform::WakeEvent::Mode::kManualReset};
    platform::AudioFormat m_systemFormat{};
    platform::AudioFormat m_micFormat{
        .sampleRate = 48000, .channels = 1, .bitsPerSample = 16, .isFloat = false};
    double m_micResampleRatio = 1.0;
    double m_sysResampleRatio = 1.0;
    bool m_micRawStream = true;

    SampleRing m_sysRing;
    SampleRing m_micRing;
    std::mutex m_micMutex;  // the mic accumulator and resampler
    std::vector<float> m_micAccumulator;
    CatmullRomResampler m_micResampler;
    std::vector<float> m_micResampled;
    // Capture thread only.
    std::vector<float> m_sysCollected;
    std::vector<float> m_sysResampled;
    CatmullRomResampler m_sysResampler;
    int64_t m_lastMicWake = 0;
    // The set-point is 128 ms at 48 kHz whatever the output rate, like the prefill.
    GapRealigner m_sysRealigner{"System audio", kPrefillSamples, 96'000};
    GapRealigner m_micRealigner{"Microphone", kPrefillSamples, 96'000};

    // Written by the output side, read by the capture side.
    std::atomic<double> m_micCorrection{0.0};
    std::atomic<double> m_sysCorrection{0.0};
    DriftServo m_micServo;
    DriftServo m_sysServo;
    std::atomic<int64_t> m_lastOutputDeadline{0};  // 0 while no output tick keeps time
    bool m_servoEnabled = true;

    int64_t m_ptsTrim = 0;
    int64_t m_prefill = 0;
    int64_t m_streamLatency = 0;
    std::atomic<int64_t> m_startOffset{0};  // rewritten by the output thread as it starts
    int64_t m_sessionEpoch = 0;
    bool m_hasSessionEpoch = false;

    SourceStatistics m_micStats;
    SourceStatistics m_sysStats;

    // Output side.
    OutputMixer m_mixer;
    std::unique_ptr<RnNoiseProcessor> m_noiseProcessor = std::make_unique<RnNoiseProcessor>();
    OutputStatistics m_outputStats;
    MicSilenceWatch m_micSilence;
    std::atomic<uint64_t> m_samplesSent{0};
    uint32_t m_outputTicks = 0;
    LevelCallback m_levelCallback;
    int64_t m_lastLevelCallNs = 0;

    AudioCallback m_callback;
    std::atomic<bool> m_running{false};
    bool m_threadsJoined = true;  // Stop ended both threads: the rings have no other user
    std::atomic<bool> m_isPaused{false};
    std::unique_ptr<platform::BackgroundTask> m_captureTask;
    std::unique_ptr<platform::BackgroundTask> m_outputTask;
};

}  // namespace tamro
