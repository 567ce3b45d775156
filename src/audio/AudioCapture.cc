#include "audio/AudioCapture.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>

#include "audio/AudioSwitches.h"
#include "audio/BlockTiming.h"
#include "audio/StereoConversion.h"
#include "diag/Log.h"
#include "diag/PerfLog.h"
#include "platform/audio/AudioThreadPriority.h"
#include "platform/system/SteadyClock.h"

namespace tamro {
namespace {

using platform::AudioFailed;

constexpr int64_t kLateWakeUs = 30'000;
// The servo's fill is measured in 48-frame milliseconds whatever the output rate.
constexpr double kSamplesPerFillMs = 2.0 * 48.0;
constexpr uint64_t kBlockFrames = SampleRing::kBlockSamples / 2;
constexpr uint32_t kTicksPerWindow = 47;  // about a second of 1024-frame blocks
constexpr int64_t kLevelCallbackNs = 33'000'000;

}  // namespace

AudioCapture::AudioCapture() : AudioCapture(Options{}) {}

AudioCapture::AudioCapture(Options options)
    : m_options(std::move(options)),
      m_clock(m_options.clock ? m_options.clock
                              : std::function<int64_t()>([] { return platform::SteadyClockNs(); })),
      m_pacing(m_options.pacing ? m_options.pacing : std::make_shared<platform::SteadyClock>()),
      m_opener(m_options.connect),
      m_sysEvent(std::make_shared<platform::WakeEvent>(platform::WakeEvent::Mode::kAutoReset)),
      m_micEvent(std::make_shared<platform::WakeEvent>(platform::WakeEvent::Mode::kAutoReset)),
      m_reviver(std::make_unique<SourceReviver>(m_options.connect, m_sysEvent, m_micEvent,
                                                m_options.reconnectPeriod)) {}

AudioCapture::~AudioCapture() {
    Stop();
    // A thread whose join Stop gave up on still uses this object; it goes first.
    if (m_captureTask) {
        m_captureTask->Wait();
    }
    if (m_outputTask) {
        m_outputTask->Wait();
    }
}

// ---- Source set-up ----

bool AudioCapture::Initialize(bool captureSystem, bool captureMic, const std::string& micDeviceId,
                              uint32_t sampleRate, uint32_t channels, bool noiseSuppression,
                              int32_t noiseMode, int32_t noiseStrength) {
    if (sampleRate == 0 || channels == 0) {
        LogLine("[AudioCapture] Invalid output format: %u Hz, %u channels\n", sampleRate, channels);
        return false;
    }
    m_captureSystem = captureSystem;
    m_captureMic = captureMic;
    m_sampleRate = sampleRate;
    m_channels = channels;
    m_noiseMode = (noiseSuppression && noiseMode == 0) ? 1 : noiseMode;
    m_noiseStrength = static_cast<uint32_t>(noiseStrength);
    if (m_noiseMode != 0) {
        // The rings hold stereo whatever the session's channel count.
        m_noiseProcessor->Initialize(sampleRate, 2);
        ApplyNoisePreset();
    }
    bool ok = true;
    if (captureSystem) {
        ok = InitializeLoopback() && ok;
    }
    if (captureMic) {
        ok = InitializeMicrophone(micDeviceId) && ok;
    }
    std::lock_guard lock(m_micMutex);
    m_micAccumulator.reserve(m_sampleRate / 10 * 2);
    return ok;
}

bool AudioCapture::InitializeLoopback() {
    std::optional<AudioSourceOpener::Source> source = m_opener.OpenLoopback(m_sysEvent);
    if (!source) {
        return false;
    }
    AdoptSystemSource(std::move(*source));
    return true;
}

bool AudioCapture::InitializeProcessLoopback(uint32_t pid) {
    std::optional<AudioSourceOpener::Source> source = m_opener.OpenProcessLoopback(pid, m_sysEvent);
    if (!source) {
        return false;
    }
    AdoptSystemSource(std::move(*source));
    m_processLoopbackActive = true;
    m_processLoopbackPid = pid;
    return true;
}

void AudioCapture::AdoptSystemSource(AudioSourceOpener::Source source) {
    m_sysEndpoint = std::move(source.endpoint);
    m_systemFormat = source.format;
    m_sysNominalRate = source.format.sampleRate;
    m_hasSystem = true;
}

void AudioCapture::AdoptMicrophoneSource(AudioSourceOpener::Source source) {
    m_micEndpoint = std::move(source.endpoint);
    m_micFormat = source.format;
    m_micNamedDevice = source.namedDevice;
    m_micNominalRate = source.format.sampleRate;
    m_hasMic = true;
    m_micResampleRatio = static_cast<double>(m_micFormat.sampleRate) / m_sampleRate;
    m_micResampler.Reset();
}

bool AudioCapture::InitializeMicrophone(const std::string& deviceId) {
    m_micRawStream = AudioSwitches::Read().micRaw;
    std::optional<AudioSourceOpener::Source> source =
        m_opener.OpenMicrophone(deviceId, m_micRawStream, m_micEvent);
    if (!source) {
        return false;
    }
    std::lock_guard lock(m_micMutex);
    AdoptMicrophoneSource(std::move(*source));
    if (m_micFormat.sampleRate != m_sampleRate) {
        LogLine(
            "[AudioCapture] Mic sample rate (%uHz) differs from output (%uHz) - resampling "
            "enabled (ratio: %.4f)\n",
            m_micFormat.sampleRate, m_sampleRate, m_micResampleRatio);
    }
    return true;
}

void AudioCapture::ApplyNoisePreset() {
    // Mode 1 is the gentle preset whatever strength was asked for.
    const uint32_t preset = m_noiseMode == 2 ? m_noiseStrength : 0;
    m_noiseProcessor->SetStrengthPreset(preset);
}

// ---- Start and Stop ----

bool AudioCapture::PreviousThreadsFinished() {
    const bool finished =
        (!m_captureTask || m_captureTask->WaitFor(std::chrono::milliseconds(0))) &&
        (!m_outputTask || m_outputTask->WaitFor(std::chrono::milliseconds(0)));
    if (finished) {
        m_captureTask.reset();
        m_outputTask.reset();
    }
    return finished;
}

bool AudioCapture::Start(AudioCallback callback) {
    if (m_running) {
        return false;
    }
    if (!PreviousThreadsFinished()) {
        LogLine("[AudioCapture] Cannot start: a thread of the previous run has not ended\n");
        return false;
    }
    m_callback = std::move(callback);
    const int64_t t0 = m_clock();
    m_startOffset.store(m_hasSessionEpoch ? std::max<int64_t>(0, (t0 - m_sessionEpoch) / 100) : 0);
    MeasureStreamLatency();
    ReadStartEnvironment();
    m_stopEvent.Reset();
    m_sysRing.Reset();
    m_micRing.Reset();
    ResetServos();
    Prefill();
    LogStartConfiguration();
    StartEndpoints();
    m_mixer.Reset();
    m_outputStats.Reset();
    m_micSilence.Reset();
    m_samplesSent = 0;
    m_outputTicks = 0;
    m_lastLevelCallNs = 0;
    m_running = true;
    if (m_options.runThreads) {
        m_captureTask = std::make_unique<platform::BackgroundTask>([this] { CaptureThread(); });
        m_outputTask = std::make_unique<platform::BackgroundTask>([this] { OutputThread(); });
    }
    return true;
}

void AudioCapture::MeasureStreamLatency() {
    int64_t latency = 0;
    if (m_micEndpoint && !AudioFailed(m_micEndpoint->GetStreamLatency(&latency)) && latency > 0) {
        m_streamLatency = latency;
        return;
    }
    if (m_sysEndpoint && !AudioFailed(m_sysEndpoint->GetStreamLatency(&latency)) && latency >= 1) {
        m_streamLatency = latency;
        return;
    }
    m_streamLatency = 0;
}

void AudioCapture::ReadStartEnvironment() {
    const AudioSwitches switches = AudioSwitches::Read();
    m_ptsTrim = switches.ptsTrimMs * 10'000;
    if (switches.ptsTrimMs != 0) {
        LogLine("[AudioCapture] Manual audio PTS trim: %ldms\n",
                static_cast<long>(switches.ptsTrimMs));
    }
    m_servoEnabled = switches.servo;
}

void AudioCapture::ResetServos() {
    m_micServo.Reset();
    m_sysServo.Reset();
    m_micCorrection = 0.0;
    m_sysCorrection = 0.0;
    m_sysRealigner.Reset();
    m_micRealigner.Reset();
    m_lastOutputDeadline = 0;
    m_sysResampleRatio =
        m_sampleRate == 0 ? 1.0 : static_cast<double>(m_systemFormat.sampleRate) / m_sampleRate;
    m_sysResampler.Reset();
    m_lastMicWake = 0;
}

void AudioCapture::Prefill() {
    m_prefill = 0;
    if (!m_servoEnabled) {
        return;
    }
    const std::vector<float> silence(kPrefillSamples, 0.0f);
    bool prefilled = false;
    if (m_micEndpoint) {
        m_micRing.Write(silence.data(), silence.size());
        prefilled = true;
    }
    if (m_sysEndpoint) {
        m_sysRing.Write(silence.data(), silence.size());
        prefilled = true;
    }
    if (prefilled) {
        m_streamLatency += kPrefill100ns;
        m_prefill = kPrefill100ns;
        LogLine("[AudioCapture] Drift servo ENABLED: rings prefilled to 128ms setpoint\n");
    }
}

void AudioCapture::LogStartConfiguration() const {
    PerfLog::Write(
        "[PERF][AudioCfg] mic=%d sys=%d procLoopback=%d noiseMode=%d strength=%d servo=%d "
        "agc=%d trimMs=%lld prefillMs=%.0f nsWarm=%d\n",
        m_micEndpoint ? 1 : 0, m_captureSystem ? 1 : 0, m_processLoopbackActive ? 1 : 0,
        m_noiseMode, static_cast<int>(m_noiseStrength), m_servoEnabled ? 1 : 0,
        m_mixer.AgcEnabled() ? 1 : 0, static_cast<long long>(m_ptsTrim / 10'000),
        static_cast<double>(m_prefill) / 10'000.0,
        m_noiseMode != 0 && m_noiseProcessor->IsWarm() ? 1 : 0);
}

void AudioCapture::StartEndpoints() {
    // A stream that does not start leaves its ring silent; the recording goes on.
    if (m_sysEndpoint) {
        const uint32_t result = m_sysEndpoint->Start();
        if (AudioFailed(result)) {
            LogLine("[AudioCapture] WARNING: system stream did not start: 0x%08X\n", result);
        }
    }
    if (m_micEndpoint) {
        const uint32_t result = m_micEndpoint->Start();
        if (AudioFailed(result)) {
            LogLine("[AudioCapture] WARNING: mic stream did not start: 0x%08X\n", result);
        }
    }
}

void AudioCapture::Stop() {
    if (!m_running) {
        return;
    }
    m_running = false;
    m_isPaused = false;
    m_stopEvent.Set();
    {
        std::lock_guard lock(m_outputWaitMutex);
        m_outputWake.notify_all();
    }
    bool joined = true;
    if (m_captureTask) {
        joined &= platform::WaitOrAbandon(
            *m_captureTask, kJoinLimit,
            "[AudioCapture] WARNING: Capture thread join timed out after 300ms \xE2\x80\x94 "
            "abandoning waiter");
    }
    if (m_outputTask) {
        joined &= platform::WaitOrAbandon(
            *m_outputTask, kJoinLimit,
            "[AudioCapture] WARNING: Output thread join timed out after 300ms \xE2\x80\x94 "
            "abandoning waiter");
    }
    if (m_sysEndpoint) {
        m_sysEndpoint->Stop();
    }
    if (m_micEndpoint) {
        m_micEndpoint->Stop();
    }
    m_reviver->Stop();
    // A thread still running may yet write, so the rings are left to Drain only when both ended;
    // Start empties them again anyway.
    m_threadsJoined = joined;
}

void AudioCapture::Drain(int64_t endTimestamp) {
    if (m_running || !m_threadsJoined) {
        return;
    }
    // The rings hold the last ~128 ms of sound; without them the audio ends before the video.
    while ((m_micRing.Used() > 0 || m_sysRing.Used() > 0) &&
           BlockTimestamp(m_samplesSent.load()) < endTimestamp) {
        OutputTick(0);
    }
    m_sysRing.Reset();
    m_micRing.Reset();
}

// ---- Capture thread ----

void AudioCapture::CaptureThread() {
    platform::WakeEvent* events[3] = {&m_stopEvent, nullptr, nullptr};
    size_t count = 1;
    if (m_sysEndpoint) {
        events[count++] = m_sysEvent.get();
    }
    if (m_micEndpoint) {
        events[count++] = m_micEvent.get();
    }
    platform::AudioThreadPriority priority(platform::AudioThreadPriority::Task::kProAudio);
    if (!priority.Raised()) {
        LogLine("[AudioCapture] MMCSS registration failed for capture thread\n");
    }
    while (m_running) {
        const int woken = platform::WakeEvent::WaitAny(std::span(events, count), kWakeCap);
        if (!m_running || woken == 0) {
            break;
        }
        if (woken == platform::WakeEvent::kWaitFailed) {
            LogLine("[AudioCapture] WaitForMultipleObjects failed: %u\n",
                    static_cast<unsigned>(errno));
            // Keep the 20 ms cadence rather than spin on a failing wait.
            platform::SleepUntilNs(platform::SteadyClockNs() + kWakeCap.count() * 1'000'000);
            continue;
        }
        try {
            CaptureWake();
        } catch (const std::exception& e) {
            LogLine("[AudioCapture] CaptureThread exception: %s\n", e.what());
        } catch (...) {
            LogLine("[AudioCapture] CaptureThread unknown exception\n");
        }
    }
}

void AudioCapture::CaptureWake() {
    AdoptRevived();
    if (m_sysEndpoint) {
        DrainLoopback();
    }
    if (m_micEndpoint) {
        DrainMicrophone();
    }
}

size_t AudioCapture::DrainPackets(platform::AudioEndpoint& endpoint,
                                  const platform::AudioFormat& format, SourceStatistics& stats,
                                  std::vector<float>* collected) {
    uint32_t status = platform::kAudioOk;
    const size_t frames =
        ReadStereoPackets(endpoint, format, m_isPaused, stats, collected, &status);
    NoteSourceEnd(status, stats);
    return frames;
}

// A source that ended is silence until it is opened again; a loopback whose output is no longer
// the default goes on recording it until the new default's takes over.
void AudioCapture::NoteSourceEnd(uint32_t status, SourceStatistics& stats) {
    const bool system = &stats == &m_sysStats;
    if (status == platform::kAudioDefaultDeviceChanged && system) {
        m_reviver->ReviveSystem(0, /*atOnce=*/true);
        return;
    }
    const char* why = status == platform::kAudioServiceNotRunning   ? "the audio server went away"
                      : status == platform::kAudioDeviceInvalidated ? "its device went away"
                                                                    : nullptr;
    if (why == nullptr || stats.lost.exchange(true)) {
        return;
    }
    stats.lostWithServer = status == platform::kAudioServiceNotRunning;
    LogLine("[AudioCapture] %s lost: %s\n", system ? "System audio" : "Microphone", why);
    ReviveLost(stats);
}

void AudioCapture::ReviveLost(SourceStatistics& stats) {
    if (&stats == &m_sysStats) {
        m_reviver->ReviveSystem(m_processLoopbackActive ? m_processLoopbackPid : 0);
    } else {
        m_reviver->ReviveMicrophone({.deviceId = m_micNamedDevice, .rawStream = m_micRawStream});
    }
}

// The returned stream starts at once; the gap it left is realigned like any other.
void AudioCapture::AdoptRevived() {
    if (std::optional<AudioSourceOpener::Source> system = m_reviver->TakeSystem()) {
        m_sysEndpoint->Stop();
        AdoptSystemSource(std::move(*system));
        m_sysResampleRatio = static_cast<double>(m_systemFormat.sampleRate) / m_sampleRate;
        m_sysResampler.Reset();
        m_sysEndpoint->Start();
        LogLine("[AudioCapture] System audio %s\n",
                !m_sysStats.lost.exchange(false)            ? "follows the new default output"
                : m_sysStats.lostWithServer.exchange(false) ? "is back: the audio server returned"
                                                            : "is back: its device returned");
    }
    if (std::optional<AudioSourceOpener::Source> mic = m_reviver->TakeMicrophone()) {
        std::lock_guard lock(m_micMutex);
        m_micEndpoint->Stop();
        AdoptMicrophoneSource(std::move(*mic));
        m_micEndpoint->Start();
        m_micStats.lost = false;
        LogLine("[AudioCapture] Microphone is back: %s returned\n",
                m_micStats.lostWithServer.exchange(false) ? "the audio server" : "its device");
    }
}

bool AudioCapture::LostWithServer() const {
    return m_sysStats.lostWithServer || m_micStats.lostWithServer;
}

std::string AudioCapture::LostSources() const {
    const bool system = m_sysStats.lost;
    const bool mic = m_micStats.lost;
    return system && mic ? "system audio and microphone"
           : system      ? "system audio"
           : mic         ? "microphone"
                         : "";
}

void AudioCapture::DrainLoopback() {
    m_sysCollected.clear();
    const size_t frames = DrainPackets(*m_sysEndpoint, m_systemFormat, m_sysStats, &m_sysCollected);
    if (frames == 0) {
        return;
    }
    // Without the servo a source at the output rate goes in as it is; one at another rate is
    // still converted, or it would play at the wrong speed and pitch.
    if (!m_servoEnabled && m_systemFormat.sampleRate == m_sampleRate) {
        WriteRing(m_sysRing, m_sysCollected, m_sysStats);
        return;
    }
    WriteSystemServoed(frames);
}

void AudioCapture::DrainMicrophone() {
    std::lock_guard lock(m_micMutex);
    const int64_t now = m_clock();
    if (m_lastMicWake != 0) {
        m_micStats.NoteWakeGap(
            static_cast<uint64_t>(std::max<int64_t>(0, now - m_lastMicWake) / 1000));
    }
    m_lastMicWake = now;
    m_micAccumulator.clear();
    const size_t frames = DrainPackets(*m_micEndpoint, m_micFormat, m_micStats, &m_micAccumulator);
    if (frames > 0) {
        WriteMicResampled(frames);
    }
    m_micAccumulator.clear();
}

void AudioCapture::WriteRealigned(GapRealigner& realigner, SampleRing& ring,
                                  const std::vector<float>& samples, SourceStatistics& stats) {
    // Without the servo the rings have no set-point to come back to.
    const int64_t now = m_clock();
    const size_t stale =
        m_servoEnabled ? realigner.BeforeWrite(ring, samples.size(), OutputOwedSamples(now), now)
                       : 0;
    stats.droppedSamples += stale;
    WriteRing(ring, std::span(samples).subspan(stale), stats);
}

size_t AudioCapture::OutputOwedSamples(int64_t nowNs) const {
    const int64_t last = m_lastOutputDeadline.load();
    if (last == 0 || nowNs <= last) {
        return 0;
    }
    const uint32_t rate = m_sampleRate == 0 ? 48000 : m_sampleRate;
    return static_cast<size_t>((nowNs - last) * rate / 1'000'000'000) * 2;
}

void AudioCapture::NoteOutputDeadline(int64_t deadlineNs) {
    m_lastOutputDeadline = deadlineNs;
}

void AudioCapture::WriteRing(SampleRing& ring, std::span<const float> samples,
                             SourceStatistics& stats) {
    // Whole frames only: the ring's odd free count would otherwise split a frame on overflow,
    // and every later frame would come out with its channels swapped.
    const size_t fits = std::min(samples.size(), ring.Free() & ~size_t{1});
    const size_t written = ring.Write(samples.data(), fits);
    stats.droppedSamples += samples.size() - written;
}

void AudioCapture::WriteMicResampled(size_t frames) {
    if (!m_servoEnabled && (m_micResampleRatio == 1.0 || m_micFormat.sampleRate == m_sampleRate)) {
        WriteRing(m_micRing, m_micAccumulator, m_micStats);
        m_micStats.resamplerOutputFrames += frames;
        return;
    }
    const double step = m_micResampleRatio * (1.0 + m_micCorrection.load());
    m_micResampled.clear();
    m_micResampled.reserve(frames * 4);
    const size_t produced =
        m_micResampler.Process(m_micAccumulator.data(), frames, step, &m_micResampled);
    WriteRealigned(m_micRealigner, m_micRing, m_micResampled, m_micStats);
    m_micStats.resamplerOutputFrames += produced;
}

void AudioCapture::WriteSystemServoed(size_t frames) {
    const double step = m_sysResampleRatio * (1.0 + m_sysCorrection.load());
    m_sysResampled.clear();
    m_sysResampled.reserve(frames * 2 + 16);
    m_sysResampler.Process(m_sysCollected.data(), frames, step, &m_sysResampled);
    WriteRealigned(m_sysRealigner, m_sysRing, m_sysResampled, m_sysStats);
}

// ---- Output side ----

void AudioCapture::OutputThread() {
    platform::AudioThreadPriority priority(platform::AudioThreadPriority::Task::kAudio);
    if (!priority.Raised()) {
        LogLine("[AudioCapture] MMCSS registration failed for output thread\n");
    }
    const uint32_t rate = m_sampleRate == 0 ? 48000 : m_sampleRate;
    const int64_t t0 = m_clock();
    // The timeline counts from this thread's first tick: starting the endpoints took time since
    // Start read the clock, and that time must not shift the audio against the video.
    if (m_hasSessionEpoch) {
        m_startOffset.store(std::max<int64_t>(0, (t0 - m_sessionEpoch) / 100));
    }
    for (uint64_t k = 0; m_running; ++k) {
        const int64_t deadline = TickDeadline(t0, k, kBlockFrames, rate);
        {
            std::unique_lock lock(m_outputWaitMutex);
            m_pacing->WaitUntil(lock, m_outputWake, deadline, [this] { return !m_running; });
        }
        if (!m_running) {
            break;
        }
        // Paused ticks keep the clock but not the timeline: nothing is read or sent.
        if (m_isPaused) {
            NoteOutputDeadline(deadline);
            continue;
        }
        try {
            OutputTick((m_clock() - deadline) / 1000);
        } catch (const std::exception& e) {
            LogLine("[AudioCapture] OutputThread exception: %s\n", e.what());
        } catch (...) {
            LogLine("[AudioCapture] OutputThread unknown exception\n");
        }
    }
}

void AudioCapture::OutputTick(int64_t lagUs) {
    NoteOutputDeadline(m_clock() - lagUs * 1000);
    m_outputStats.NoteLag(lagUs);
    const RingBlocks blocks = ReadRingBlocks(m_mixer.MicBlock(), m_mixer.SystemBlock());
    m_outputStats.NoteRead(OutputStatistics::Ring::kMic, blocks.micUsed, blocks.micGot);
    m_outputStats.NoteRead(OutputStatistics::Ring::kSystem, blocks.sysUsed, blocks.sysGot);
    m_mixer.Process({.micGot = blocks.micGot,
                     .sysGot = blocks.sysGot,
                     .micCaptured = HasMicrophone(),
                     .sysCaptured = HasSystem(),
                     .agcAllowed = m_micRawStream,
                     .denoiser = m_noiseMode != 0 ? m_noiseProcessor.get() : nullptr});
    CallLevelCallback();
    DeliverBlock();
    UpdateDriftServos(blocks, lagUs);
    if (++m_outputTicks >= kTicksPerWindow) {
        EndOutputWindow();
        m_outputTicks = 0;
    }
}

void AudioCapture::CallLevelCallback() {
    if (!m_levelCallback) {
        return;
    }
    const int64_t now = m_clock();
    if (m_lastLevelCallNs != 0 && now - m_lastLevelCallNs < kLevelCallbackNs) {
        return;
    }
    m_lastLevelCallNs = now;
    m_levelCallback(m_mixer.MicRms(), m_mixer.SystemRms());
}

int64_t AudioCapture::UnflooredTimestamp(uint64_t framesSent) const {
    const uint32_t rate = m_sampleRate == 0 ? 48000 : m_sampleRate;
    return static_cast<int64_t>(framesSent * 10'000'000 / rate) - m_streamLatency + m_ptsTrim +
           m_startOffset.load();
}

int64_t AudioCapture::BlockTimestamp(uint64_t framesSent) const {
    return std::max<int64_t>(UnflooredTimestamp(framesSent), 0);
}

// Sound from before the session's first instant (the prefill, the device latency) is cut, not
// stamped 0: blocks piled up at 0 would overlap, and the file would open with the prefill's
// silence in place of what played when the recording began.
void AudioCapture::DeliverBlock() {
    const uint64_t sent = m_samplesSent.fetch_add(kBlockFrames);
    if (!m_callback) {
        return;
    }
    const uint32_t rate = m_sampleRate == 0 ? 48000 : m_sampleRate;
    const auto visible = VisiblePart(UnflooredTimestamp(sent), kBlockFrames, rate);
    if (!visible) {
        return;
    }
    const uint64_t kept = kBlockFrames - visible->skippedFrames;
    const int64_t duration = static_cast<int64_t>(kept * 10'000'000 / rate);
    const int64_t start = platform::SteadyClockNs();
    m_callback(reinterpret_cast<const uint8_t*>(m_mixer.Output() + visible->skippedFrames * 2),
               static_cast<uint32_t>(kept * 2 * sizeof(int16_t)), visible->pts, duration);
    m_outputStats.AddCallbackTime((platform::SteadyClockNs() - start) / 1000);
}

void AudioCapture::EndOutputWindow() {
    if (HasMicrophone()) {
        m_micSilence.Update(m_micStats.rawFrames.load(), m_micStats.silentFrames.load());
    }
    const bool bypassed =
        m_noiseMode != 0 && (!m_noiseProcessor->IsReady() || m_noiseProcessor->IsBypassed());
    m_outputStats.EndWindow({
        .mic = m_micStats.Counters(m_micNominalRate.load(), m_micCorrection.load()),
        .sys = m_sysStats.Counters(m_sysNominalRate.load(), m_sysCorrection.load()),
        .micWakeMaxUs = m_micStats.maxWakeGapUs.exchange(0),
        .micWakeGapsOver30ms = static_cast<uint32_t>(m_micStats.wakeGapsOver30ms.exchange(0)),
        .noiseMode = m_noiseMode,
        .noiseBypassed = bypassed,
        .rawMicRms = m_mixer.RawMicRms(),
        .postMicRms = m_mixer.MicRms(),
        .agcGain = m_mixer.AgcGain(),
        .nowNs = m_clock(),
    });
}

AudioCapture::RingBlocks AudioCapture::ReadRingBlocks(float* micBlock, float* sysBlock) {
    RingBlocks blocks{.micUsed = m_micRing.Used(), .sysUsed = m_sysRing.Used()};
    blocks.micGot = m_micRing.ReadBlock(micBlock);
    blocks.sysGot = m_sysRing.ReadBlock(sysBlock);
    return blocks;
}

void AudioCapture::UpdateDriftServos(const RingBlocks& blocks, int64_t lagUs) {
    if (!m_servoEnabled) {
        return;
    }
    const bool late = lagUs > kLateWakeUs;
    if (HasMicrophone()) {
        UpdateDriftServo(m_micServo, m_micRealigner, blocks.micUsed,
                         blocks.micGot < SampleRing::kBlockSamples || late,
                         m_micStats.rawFrames.load(), m_micCorrection, "mic");
    }
    if (HasSystem()) {
        UpdateDriftServo(m_sysServo, m_sysRealigner, blocks.sysUsed,
                         blocks.sysGot < SampleRing::kBlockSamples || late,
                         m_sysStats.rawFrames.load(), m_sysCorrection, "sys");
    }
}

void AudioCapture::UpdateDriftServo(DriftServo& servo, GapRealigner& realigner, size_t used,
                                    bool skip, uint64_t rawFrames, std::atomic<double>& correction,
                                    const char* label) {
    if (realigner.TakeRealigned()) {
        servo.RestartAfterGap();
    }
    correction =
        servo.Update(static_cast<double>(used) / kSamplesPerFillMs, skip, rawFrames, label);
}

}  // namespace tamro
