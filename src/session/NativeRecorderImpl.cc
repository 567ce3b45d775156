#include "session/NativeRecorderImpl.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <utility>

#include "capture/FrameSlots.h"
#include "capture/RegionCheck.h"
#include "diag/Log.h"
#include "diag/PerfLog.h"
#include "diag/RateLimit.h"
#include "platform/system/BackgroundTask.h"
#include "platform/system/SteadyClock.h"
#include "session/ComponentFactory.h"

namespace tamro {
namespace {

using std::chrono::milliseconds;

constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr int64_t kProgressPeriodNs = kNsPerSecond;
// Lets threads that call back into the recorder see the shutting-down flag before teardown.
constexpr milliseconds kShutdownSettle{50};
constexpr milliseconds kFocusIdlePoll{10};
constexpr milliseconds kFocusIdleLimit{300};
// The progress thread only sleeps or raises an event; a join longer than this means a handler
// hangs.
constexpr milliseconds kProgressJoinLimit{200};
constexpr milliseconds kDrainPoll{5};
constexpr milliseconds kDrainLimit{500};
// Finalisation is never abandoned (the file is whole only afterwards); past this it is reported.
constexpr milliseconds kFinalizeReportAfter{1000};
// 1 ms in media time: the smallest step that keeps video timestamps strictly increasing.
constexpr int64_t kMonotonicStep = 10'000;
// Before the first frame: a first frame stamped 0 is not a repeat of anything.
constexpr int64_t kNoVideoYet = -1;

constexpr double kDefaultCropFraction = 0.55;
constexpr double kDefaultSmoothing = 0.4;
constexpr double kDefaultDeadZone = 5.0;
constexpr double kDefaultPulseFactor = 2.0;

double PositiveOr(double value, double fallback) {
    return value > 0.0 ? value : fallback;
}

FocusZoomSettings WithDefaults(const FocusZoomSettings& settings) {
    FocusZoomSettings result = settings;
    result.cropFraction = PositiveOr(settings.cropFraction, kDefaultCropFraction);
    result.smoothing = PositiveOr(settings.smoothing, kDefaultSmoothing);
    result.deadZone = PositiveOr(settings.deadZone, kDefaultDeadZone);
    result.pulseFactor = PositiveOr(settings.pulseFactor, kDefaultPulseFactor);
    return result;
}

double ClampVolume(double volume) {
    return std::clamp(volume, 0.0, 2.0);
}

// Counts a callback as inside the recorder for as long as it runs, on every exit path.
class InFlightScope {
  public:
    explicit InFlightScope(std::atomic<int32_t>& count) : m_count(count) { m_count.fetch_add(1); }
    ~InFlightScope() { m_count.fetch_sub(1); }
    InFlightScope(const InFlightScope&) = delete;
    InFlightScope& operator=(const InFlightScope&) = delete;

  private:
    std::atomic<int32_t>& m_count;
};

// Runs a component callback so that no exception reaches the component's thread.
template <typename Body>
void Contained(const char* name, Body&& body) {
    try {
        body();
    } catch (const std::exception& e) {
        LogLine("[NativeRecorder] %s exception: %s\n", name, e.what());
    } catch (...) {
        LogLine("[NativeRecorder] %s unknown exception\n", name);
    }
}

}  // namespace

// Keeps the progress thread looping; Stop wakes it at once instead of waiting out its sleep.
struct NativeRecorder::Impl::ProgressSignal {
    std::mutex mutex;
    std::condition_variable changed;
    bool running = true;

    void RequestStop() {
        std::lock_guard lock(mutex);
        running = false;
        changed.notify_all();
    }

    // True when the deadline passed with the thread still wanted.
    bool SleepUntil(int64_t deadlineNs) {
        const std::chrono::steady_clock::time_point deadline{std::chrono::nanoseconds(deadlineNs)};
        std::unique_lock lock(mutex);
        return !changed.wait_until(lock, deadline, [this] { return !running; });
    }
};

NativeRecorder::Impl::Impl(NativeRecorder& owner, std::unique_ptr<ComponentFactory> factory)
    : m_owner(owner), m_factory(std::move(factory)) {}

NativeRecorder::Impl::~Impl() {
    Stop();
    // A preparation, or what a failed start left, has recorded nothing: no file is kept of it.
    DiscardPrepared();
    if (m_progressThread.joinable()) {
        // Only left over when Stop failed part-way; the thread holds nothing of ours but a weak
        // reference.
        m_progressThread.detach();
    }
}

// ---------------------------------------------------------------------------------------------
// Start

std::shared_ptr<AsyncOperation<bool>> NativeRecorder::Impl::StartAsync(
    const RecordingConfig& config) {
    if (m_isRecording.load()) {
        return AsyncOperation<bool>::FromResult(false);
    }
    return AsyncOperation<bool>::Run(
        [self = m_owner.shared_from_this(), config] { return self->m_impl->RunStart(config); });
}

bool NativeRecorder::Impl::RunStart(const RecordingConfig& config) {
    if (m_isRecording.load()) {
        return false;
    }
    m_isShuttingDown.store(false);
    bool started = false;
    std::string error;
    {
        std::lock_guard lock(m_sessionMutex);
        try {
            started = StartSession(config, error);
        } catch (const std::exception& e) {
            LogLine("[NativeRecorder] Exception: %s\n", e.what());
            error = e.what();
        } catch (...) {
            LogLine("[NativeRecorder] Unknown exception\n");
            error = "Unknown error occurred";
        }
    }
    RaiseStartOutcome(started, error);
    return started;
}

// Raised after the session lock is released, so a handler may call Stop or start again.
void NativeRecorder::Impl::RaiseStartOutcome(bool started, const std::string& error) {
    try {
        if (started) {
            m_recordingStarted.Raise(m_owner, nullptr);
        } else if (!error.empty()) {
            RaiseError(error);
        }
    } catch (const std::exception& e) {
        LogLine("[NativeRecorder] Exception: %s\n", e.what());
    } catch (...) {
        LogLine("[NativeRecorder] Unknown exception\n");
    }
}

bool NativeRecorder::Impl::FailStart(const char* message, std::string& error) {
    LogLine("[NativeRecorder] %s\n", message);
    error = message;
    return false;
}

bool NativeRecorder::Impl::StartSession(const RecordingConfig& config, std::string& error) {
    if (!BuildSession(config, Build::kStart, error)) {
        return false;
    }
    ResetSessionTiming();
    if (!StartScreenCapture()) {
        return FailStart("Failed to start screen capture", error);
    }
    StartAudioCapture();
    m_isRecording.store(true);
    m_isPaused.store(false);
    WritePerfStartLine();
    StartProgressThread();
    return true;
}

// Everything up to the start of the captures. A prepared build reports its failures in the log
// only, and leaves the focus zoom to be started with the recording.
bool NativeRecorder::Impl::BuildSession(const RecordingConfig& config, Build build,
                                        std::string& error) {
    const bool prepare = build == Build::kPrepare;
    {
        std::lock_guard lock(m_outputPathMutex);
        m_outputPath = config.OutputPath();
    }
    if (config.FrameRate() < static_cast<int32_t>(FrameSlots::kMinFps) ||
        config.FrameRate() > static_cast<int32_t>(FrameSlots::kMaxFps)) {
        error = FormatLine("Frame rate %d is outside %u to %u", config.FrameRate(),
                           FrameSlots::kMinFps, FrameSlots::kMaxFps);
        LogLine("[NativeRecorder] %s%s\n", prepare ? "PrepareAsync: " : "", error.c_str());
        return false;
    }
    if (!InitializeScreenCapture(config)) {
        if (prepare) {
            LogLine("[NativeRecorder] PrepareAsync: Failed to initialize screen capture\n");
            return false;
        }
        return FailStart("Failed to initialize screen capture", error);
    }

    int32_t capturedWidth = static_cast<int32_t>(m_screenCapture->Width());
    int32_t capturedHeight = static_cast<int32_t>(m_screenCapture->Height());
    const auto origin = m_factory->FindMonitorOrigin(config.MonitorHandle());
    m_monitorOrigin = origin ? Origin{origin->left, origin->top} : Origin{};

    if (!SetUpCaptureRegion(config, build, capturedWidth, capturedHeight, error)) {
        return false;
    }

    const int32_t outputWidth = config.Width() > 0 ? config.Width() : capturedWidth;
    const int32_t outputHeight = config.Height() > 0 ? config.Height() : capturedHeight;
    SetUpFocusZoom(config, capturedWidth, capturedHeight, outputWidth, outputHeight, build);

    m_encoder = m_factory->CreateEncoder();
    if (m_encoder && m_screenCapture->HasDevice()) {
        m_encoder->SetD3DDevice(m_screenCapture->GetDevice());
    }
    const bool hasAudio = config.CaptureMicrophone() || config.CaptureSystemAudio();
    m_frameDuration.store(config.FrameRate() > 0 ? 10'000'000 / config.FrameRate() : 0);
    const int32_t profile = config.VideoProfile();
    const EncoderSettings settings{
        .path = config.OutputPath(),
        .width = static_cast<uint32_t>(outputWidth),
        .height = static_cast<uint32_t>(outputHeight),
        .fps = static_cast<uint32_t>(config.FrameRate()),
        .videoBitrate = static_cast<uint32_t>(config.Bitrate()),
        .audioSampleRate = static_cast<uint32_t>(config.AudioSampleRate()),
        .audioChannels = static_cast<uint32_t>(config.AudioChannels()),
        .audioBitrate = static_cast<uint32_t>(config.AudioBitrate()),
        .hasAudio = hasAudio,
        .profile = static_cast<uint32_t>(profile >= 0 && profile <= 2 ? profile : 1),
        .qualityVsSpeed = static_cast<uint32_t>(config.QualityVsSpeed()),
        .cabac = config.EnableCabac(),
        .bFrames = static_cast<uint32_t>(config.BFrameCount()),
        .keyframeIntervalSeconds = static_cast<uint32_t>(config.KeyframeIntervalSeconds()),
    };
    if (!m_encoder || !m_encoder->Initialize(settings)) {
        if (prepare) {
            LogLine("[NativeRecorder] PrepareAsync: Failed to initialize encoder\n");
            return false;
        }
        return FailStart("Failed to initialize encoder", error);
    }
    if (!hasAudio) {
        return true;
    }
    // A prepared session records the system sound even for a window: no process audio.
    if (!prepare) {
        SetUpAudio(config);
    } else if (!CreateInitializedAudio(config, config.CaptureSystemAudio())) {
        LogLine("[NativeRecorder] PrepareAsync: WARNING - Audio capture init failed\n");
    }
    ApplyAudioSettings(config);
    return true;
}

bool NativeRecorder::Impl::StartScreenCapture() {
    const std::weak_ptr<NativeRecorder> weak = m_owner.weak_from_this();
    return m_screenCapture->Start([weak](gfx::Texture* texture, int64_t ts) {
        if (auto self = weak.lock()) {
            Contained("OnVideoFrame", [&] { self->m_impl->OnVideoFrame(texture, ts); });
        }
    });
}

void NativeRecorder::Impl::StartAudioCapture() {
    if (!m_audioCapture) {
        return;
    }
    const std::weak_ptr<NativeRecorder> weak = m_owner.weak_from_this();
    m_audioCapture->Start([weak](const uint8_t* data, uint32_t bytes, int64_t ts, int64_t dur) {
        if (auto self = weak.lock()) {
            Contained("OnAudioData", [&] { self->m_impl->OnAudioData(data, bytes, ts, dur); });
        }
    });
}

bool NativeRecorder::Impl::InitializeScreenCapture(const RecordingConfig& config) {
    std::unique_ptr<IScreenCapture> capture = m_factory->CreateScreenCapture();
    {
        std::lock_guard lock(m_componentsMutex);
        m_screenCapture = std::move(capture);
    }
    if (!m_screenCapture || !m_screenCapture->HasDevice()) {
        return false;
    }
    m_screenCapture->SetCaptureCursor(config.CaptureCursor());
    m_screenCapture->SetFrameRate(static_cast<uint32_t>(config.FrameRate()));
    if (config.CaptureMode() == 1) {
        return m_screenCapture->InitializeForWindow(config.WindowHandle());
    }
    return m_screenCapture->InitializeForMonitor(config.MonitorHandle());
}

// Decided before the encoder opens its file, so that a refused region leaves nothing behind.
// A refusal is raised for a preparation too: otherwise the caller could not tell why.
bool NativeRecorder::Impl::SetUpCaptureRegion(const RecordingConfig& config, Build build,
                                              int32_t& capturedWidth, int32_t& capturedHeight,
                                              std::string& error) {
    const CaptureRect& region = config.CaptureRegion();
    if (config.CaptureMode() != 2 || region.Width <= 0 || region.Height <= 0) {
        return true;
    }
    const RegionCheck check(region, MonitorBounds{m_monitorOrigin.left, m_monitorOrigin.top,
                                                  capturedWidth, capturedHeight});
    if (!check.Accepted()) {
        LogLine("[NativeRecorder] %s%s\n", build == Build::kPrepare ? "PrepareAsync: " : "",
                check.Refusal().c_str());
        error = check.Refusal();
        return false;
    }
    if (check.WasClamped()) {
        LogLine("[NativeRecorder] %s\n", check.ClampLine().c_str());
    }
    const CaptureRect& crop = check.Clamped();
    m_screenCapture->SetCropRegion(crop.X, crop.Y, crop.Width, crop.Height);
    capturedWidth = crop.Width;
    capturedHeight = crop.Height;
    return true;
}

void NativeRecorder::Impl::SetUpFocusZoom(const RecordingConfig& config, int32_t capturedWidth,
                                          int32_t capturedHeight, int32_t outputWidth,
                                          int32_t outputHeight, Build build) {
    if (m_focusZoomManager) {
        m_focusZoomManager->Stop();
    }
    m_focusZoomManager = m_factory->CreateFocusZoomManager();
    if (m_magnifierManager) {
        m_magnifierManager->Stop();
    }
    m_magnifierManager = m_factory->CreateMagnifierManager();
    if (!m_focusZoomManager) {
        return;
    }
    m_focusZoomManager->Initialize(m_monitorOrigin.left, m_monitorOrigin.top, capturedWidth,
                                   capturedHeight, outputWidth, outputHeight,
                                   WithDefaults(config.FocusZoom()));
    m_focusZoomManager->SetMagnifier(m_magnifierManager.get());
    m_focusZoomManager->SetCropCallback(
        [weak = m_owner.weak_from_this(), build](const FocusRect& rect) {
            if (auto self = weak.lock()) {
                self->m_impl->OnFocusCrop(rect, build);
            }
        });
    if (build == Build::kStart) {
        m_focusZoomManager->Start();
    }
}

void NativeRecorder::Impl::SetUpAudio(const RecordingConfig& config) {
    if (!TryProcessAudio(config)) {
        if (!CreateInitializedAudio(config, config.CaptureSystemAudio())) {
            LogLine("[NativeRecorder] WARNING: Audio capture initialization failed!\n");
        }
    }
    ApplyAudioSettings(config);
}

// Records only the window's process tree. False when the session should fall back to system
// audio.
bool NativeRecorder::Impl::TryProcessAudio(const RecordingConfig& config) {
    if (config.CaptureMode() != 1 || !config.CaptureWindowAudioOnly() ||
        !config.CaptureSystemAudio()) {
        return false;
    }
    const uint32_t pid = m_factory->WindowProcessId(config.WindowHandle());
    if (pid == 0) {
        LogLine("[NativeRecorder] Could not get process ID, falling back to system audio\n");
        return false;
    }
    if (!CreateInitializedAudio(config, false)) {
        return false;
    }
    if (m_audioCapture->InitializeProcessLoopback(pid)) {
        return true;
    }
    LogLine("[NativeRecorder] Process loopback failed, falling back to system audio\n");
    return CreateInitializedAudio(config, config.CaptureSystemAudio());
}

// Replaces the audio capture with a new one and initialises it. The capture stays attached even
// when initialisation fails: the sources that did open still record.
bool NativeRecorder::Impl::CreateInitializedAudio(const RecordingConfig& config,
                                                  bool captureSystem) {
    std::unique_ptr<IAudioCapture> audio = m_factory->CreateAudioCapture();
    {
        std::lock_guard lock(m_componentsMutex);
        std::swap(m_audioCapture, audio);
    }
    audio.reset();
    return m_audioCapture &&
           m_audioCapture->Initialize(
               captureSystem, config.CaptureMicrophone(), config.MicrophoneDeviceId(),
               static_cast<uint32_t>(config.AudioSampleRate()),
               static_cast<uint32_t>(config.AudioChannels()), config.NoiseSuppression(),
               config.NoiseMode(), config.NoiseStrength());
}

void NativeRecorder::Impl::ApplyAudioSettings(const RecordingConfig& config) {
    if (!m_audioCapture) {
        return;
    }
    m_audioCapture->SetMicrophoneVolume(ClampVolume(config.MicrophoneVolume()));
    m_audioCapture->SetSystemVolume(ClampVolume(config.SystemVolume()));
    m_audioCapture->SetDuckingEnabled(config.DuckingEnabled());
    if (!config.DuckingEnabled()) {
        m_audioCapture->SetDuckingGain(1.0);
    }
    m_audioCapture->SetDuckLevelDb(std::clamp(config.DuckLevelDb(), -24.0, 0.0));
    m_audioCapture->ConfigureLevels(AudioLevels{
        .agcMinGain = config.AgcMinGain(),
        .agcMaxGain = config.AgcMaxGain(),
        .agcTargetLevel = config.AgcTargetLevel(),
        .agcTuningA = config.AgcTuningA(),
        .agcTuningB = config.AgcTuningB(),
        .limiterThreshold = config.LimiterThreshold(),
        .limiterKneeEnd = config.LimiterKneeEnd(),
        .limiterRatio = config.LimiterRatio(),
        .gainSmoothing = config.GainSmoothing(),
    });
}

void NativeRecorder::Impl::ResetSessionTiming() {
    const int64_t now = platform::SteadyClockNs();
    m_recordingStartNs.store(now);
    m_framesWritten.store(0);
    m_droppedFrames.store(0);
    m_audioLossReported.store(false);
    m_lastVideoPts.store(0);
    m_lastAudioPts.store(0);
    m_lastWrittenVideoPts.store(kNoVideoYet);
    m_pausedTotalUs.store(0);
    m_sessionOriginNs.store(now);
    m_hasSessionOrigin.store(true);
    m_screenCapture->SetSessionStartTime(now);
    if (m_audioCapture) {
        m_audioCapture->SetSessionStartTime(now);
    }
}

void NativeRecorder::Impl::WritePerfStartLine() const {
    if (!PerfLog::IsPerfEnabled()) {
        return;
    }
    PerfLog::Write(
        "[PERF][Session] recStart nativeBuild=%s %s overlayEnabled=%d sharedCamHandle=%d "
        "gpuBubble=%d singleEffectPreview=%d\n",
        __DATE__, __TIME__, 0, 0, 0, 0);
}

void NativeRecorder::Impl::StartProgressThread() {
    auto signal = std::make_shared<ProgressSignal>();
    m_progressRunning = signal;
    m_progressThread = std::thread([weak = m_owner.weak_from_this(), signal] {
        int64_t deadline = platform::SteadyClockNs() + kProgressPeriodNs;
        while (signal->SleepUntil(deadline)) {
            if (auto self = weak.lock()) {
                self->m_impl->ProgressTick();
            } else {
                return;
            }
            deadline = std::max(deadline + kProgressPeriodNs, platform::SteadyClockNs());
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Prepared start

std::shared_ptr<AsyncOperation<bool>> NativeRecorder::Impl::PrepareAsync(
    const RecordingConfig& config) {
    return AsyncOperation<bool>::Run(
        [self = m_owner.shared_from_this(), config] { return self->m_impl->RunPrepare(config); });
}

bool NativeRecorder::Impl::RunPrepare(const RecordingConfig& config) {
    std::string error;
    const bool prepared = PrepareSession(config, error);
    if (!prepared) {
        RaiseStartOutcome(false, error);  // after the session lock, as for a start
    }
    return prepared;
}

// Holds the session lock throughout, unlike a start it builds without: a StartAsync or a discard
// running beside the building would replace or destroy the components it is configuring.
// Only bad input (a frame rate or region refused) gives an error text; the other failures are in
// the log alone.
bool NativeRecorder::Impl::PrepareSession(const RecordingConfig& config, std::string& error) {
    std::lock_guard lock(m_sessionMutex);
    if (m_isRecording.load() || m_isPrepared.load()) {
        return false;
    }
    m_isShuttingDown.store(false);
    try {
        if (!BuildSession(config, Build::kPrepare, error)) {
            return false;
        }
        m_preparedConfig = std::make_unique<RecordingConfig>(config);
        m_isPrepared.store(true);
        return true;
    } catch (const std::exception& e) {
        LogLine("[NativeRecorder] PrepareAsync exception: %s\n", e.what());
    } catch (...) {
        LogLine("[NativeRecorder] PrepareAsync unknown exception\n");
    }
    return false;
}

std::shared_ptr<AsyncOperation<bool>> NativeRecorder::Impl::StartPreparedAsync() {
    return AsyncOperation<bool>::Run(
        [self = m_owner.shared_from_this()] { return self->m_impl->RunStartPrepared(); });
}

bool NativeRecorder::Impl::RunStartPrepared() {
    bool started = false;
    std::string error;
    {
        // Also taken here, so that a discard cannot tear the components down mid-start.
        std::lock_guard lock(m_sessionMutex);
        try {
            started = StartPreparedSession(error);
        } catch (const std::exception& e) {
            LogLine("[NativeRecorder] StartPreparedAsync exception: %s\n", e.what());
            error = "Prepared recording failed with a native exception";
            m_isRecording.store(false);
        } catch (...) {
            LogLine("[NativeRecorder] StartPreparedAsync unknown exception\n");
            error = "Prepared recording failed with an unknown native exception";
            m_isRecording.store(false);
        }
    }
    RaiseStartOutcome(started, error);
    return started;
}

bool NativeRecorder::Impl::StartPreparedSession(std::string& error) {
    if (!m_isPrepared.load()) {
        LogLine("[NativeRecorder] StartPreparedAsync: Not prepared - call PrepareAsync first\n");
        error = "Prepared recording could not start because recorder is not prepared";
        return false;
    }
    if (m_isRecording.load()) {
        LogLine("[NativeRecorder] StartPreparedAsync: Already recording\n");
        error = "Prepared recording could not start because recording is already active";
        return false;
    }
    if (m_focusZoomManager) {
        m_focusZoomManager->Start();
    }
    ResetSessionTiming();
    m_isRecording.store(true);
    m_isPaused.store(false);
    WritePerfStartLine();
    if (!m_screenCapture) {
        LogLine("[NativeRecorder] StartPreparedAsync: ScreenCapture is null\n");
        return FailPreparedStart("ScreenCapture is null", error);
    }
    if (!StartScreenCapture()) {
        const std::string reason = m_screenCapture->LastError();
        return FailPreparedStart(reason.empty() ? "Unknown screen capture start failure" : reason,
                                 error);
    }
    StartAudioCapture();
    m_isPrepared.store(false);
    StartProgressThread();
    return true;
}

// The prepared components stay, so the application may try again or discard them.
bool NativeRecorder::Impl::FailPreparedStart(const std::string& reason, std::string& error) {
    LogLine("[NativeRecorder] StartPreparedAsync: Failed to start capture: %s\n", reason.c_str());
    error = "Failed to start screen capture during prepared start: " + reason;
    m_isRecording.store(false);
    return false;
}

void NativeRecorder::Impl::DiscardPrepared() {
    if (m_isRecording.load()) {
        return;  // the teardown would not wait for the recording's callbacks
    }
    {
        std::lock_guard lock(m_componentsMutex);
        if (!m_isPrepared.load() && !m_screenCapture && !m_encoder && !m_audioCapture) {
            return;
        }
    }
    m_isShuttingDown.store(true);
    if (m_focusZoomManager) {
        if (m_isCursorFocusActive.exchange(false)) {
            m_focusZoomManager->SetCursorFocusActive(false);
        }
        m_focusZoomManager->SetCropCallback({});
        m_focusZoomManager->SetMagnifier(nullptr);
        m_focusZoomManager->Stop();
    }
    if (m_magnifierManager) {
        m_magnifierManager->Stop();
    }
    std::lock_guard lock(m_sessionMutex);
    if (m_isRecording.load()) {
        return;  // a start won the race for the lock
    }
    if (m_encoder) {
        m_encoder->Abandon();  // nothing was recorded: no file is left behind
    }
    DestroyComponents();
    m_isPrepared.store(false);
    m_preparedConfig.reset();
}

// ---------------------------------------------------------------------------------------------
// Cursor focus and cropping

void NativeRecorder::Impl::ToggleCursorFocus(bool active) {
    if (m_isShuttingDown.load() || !m_isRecording.load() ||
        m_isCursorFocusActive.load() == active) {
        return;
    }
    // Nothing is rolled back on a fault: the flag keeps the requested state.
    try {
        m_isCursorFocusActive.store(active);
        if (m_focusZoomManager) {
            m_focusZoomManager->SetCursorFocusActive(active);
        } else {
            LogLine("[NativeRecorder] ERROR: m_focusZoomManager is NULL!\n");
        }
        if (m_isShuttingDown.load()) {
            return;
        }
        m_cursorFocusChanged.Raise(m_owner, active);
    } catch (const std::exception& e) {
        LogLine("[NativeRecorder] ToggleCursorFocus exception: %s\n", e.what());
    } catch (...) {
        LogLine("[NativeRecorder] ToggleCursorFocus unknown exception\n");
    }
}

void NativeRecorder::Impl::PulseAtCursor() {
    if (!m_isRecording.load() || !m_focusZoomManager) {
        return;
    }
    m_focusZoomManager->RequestPulse();
}

void NativeRecorder::Impl::SetFocusZoomSettings(const FocusZoomSettings& settings) {
    m_focusZoomSettings = settings;
    if (m_focusZoomManager) {
        m_focusZoomManager->UpdateSettings(WithDefaults(settings));
    }
}

void NativeRecorder::Impl::SetCropRegion(const CaptureRect& rect) {
    std::lock_guard lock(m_componentsMutex);
    if (m_screenCapture) {
        m_screenCapture->SetCropRegion(rect.X, rect.Y, rect.Width, rect.Height);
    }
}

// ---------------------------------------------------------------------------------------------
// Pause, resume, time

void NativeRecorder::Impl::Pause() {
    if (!m_isRecording.load() || m_isPaused.load()) {
        return;
    }
    const int64_t now = platform::SteadyClockNs();
    m_pauseStartNs.store(now);
    m_pausedElapsedUs.store((now - m_recordingStartNs.load()) / 1000 - m_pausedTotalUs.load());
    {
        std::lock_guard lock(m_componentsMutex);
        if (m_screenCapture) {
            m_screenCapture->SetPaused(true);
        }
        if (m_audioCapture) {
            m_audioCapture->SetPaused(true);
        }
    }
    m_isPaused.store(true);
}

void NativeRecorder::Impl::Resume() {
    if (!m_isRecording.load() || !m_isPaused.load()) {
        return;
    }
    const int64_t now = platform::SteadyClockNs();
    m_pausedTotalUs.fetch_add((now - m_pauseStartNs.load()) / 1000);
    m_isPaused.store(false);
    std::lock_guard lock(m_componentsMutex);
    if (m_screenCapture) {
        m_screenCapture->SetPaused(false);
    }
    if (m_audioCapture) {
        m_audioCapture->SetPaused(false);
    }
}

double NativeRecorder::Impl::ElapsedSeconds() const noexcept {
    if (!m_isRecording.load()) {
        return 0.0;
    }
    if (m_isPaused.load()) {
        return static_cast<double>(m_pausedElapsedUs.load()) / 1e6;
    }
    const int64_t now = platform::SteadyClockNs();
    const int64_t elapsedUs = (now - m_recordingStartNs.load()) / 1000 - m_pausedTotalUs.load();
    return static_cast<double>(elapsedUs) / 1e6;
}

int64_t NativeRecorder::Impl::EstimatedBytes() const noexcept {
    return RecordingProgress::EstimateBytes(ElapsedSeconds());
}

int64_t NativeRecorder::Impl::SessionStartTime() const noexcept {
    return m_hasSessionOrigin.load() ? m_sessionOriginNs.load() / 100 : 0;
}

std::string NativeRecorder::Impl::OutputPath() const {
    std::lock_guard lock(m_outputPathMutex);
    return m_outputPath;
}

bool NativeRecorder::Impl::IsMicrophoneSilent() const {
    if (!m_isRecording.load()) {
        return false;
    }
    std::lock_guard lock(m_componentsMutex);
    return m_audioCapture && m_audioCapture->IsMicrophoneSilent();
}

void NativeRecorder::Impl::SetMicrophoneVolume(double volume) {
    std::lock_guard lock(m_componentsMutex);
    if (m_audioCapture) {
        m_audioCapture->SetMicrophoneVolume(ClampVolume(volume));
    }
}

void NativeRecorder::Impl::SetSystemVolume(double volume) {
    std::lock_guard lock(m_componentsMutex);
    if (m_audioCapture) {
        m_audioCapture->SetSystemVolume(ClampVolume(volume));
    }
}

// ---------------------------------------------------------------------------------------------
// Stop

void NativeRecorder::Impl::Stop() {
    try {
        RunStop();
    } catch (const std::exception& e) {
        LogLine("[NativeRecorder] Stop() EXCEPTION: %s\n", e.what());
        RaiseStoppedAfterFailure("[NativeRecorder] Failed to fire stopped event after exception\n");
    } catch (...) {
        LogLine("[NativeRecorder] Stop() UNKNOWN EXCEPTION\n");
        RaiseStoppedAfterFailure(
            "[NativeRecorder] Failed to fire stopped event after unknown exception\n");
    }
}

void NativeRecorder::Impl::RaiseStoppedAfterFailure(const char* failureLine) {
    try {
        m_recordingStopped.Raise(m_owner, OutputPath());
    } catch (...) {
        LogLine("%s", failureLine);
    }
}

void NativeRecorder::Impl::RunStop() {
    if (!m_isRecording.load()) {
        return;
    }
    m_isShuttingDown.store(true);
    if (m_progressRunning) {
        m_progressRunning->RequestStop();
    }
    std::this_thread::sleep_for(kShutdownSettle);

    WindDownFocusZoom();
    if (m_magnifierManager) {
        m_magnifierManager->Stop();
    }
    {
        std::lock_guard lock(m_sessionMutex);
        // A concurrent Stop finished the session while this one waited for the lock.
        if (!m_isRecording.exchange(false)) {
            return;
        }
        JoinProgressThread();
        if (m_screenCapture) {
            m_screenCapture->Stop();
        }
        WaitForInFlightCallbacksDrain();
        if (m_audioCapture) {
            m_audioCapture->Stop();
            DrainAudio();
        }
        FinalizeEncoder();
        DestroyComponents();
    }
    // Raised after the session lock is released, so a handler may start the next recording.
    m_recordingStopped.Raise(m_owner, OutputPath());
}

void NativeRecorder::Impl::WindDownFocusZoom() {
    if (!m_focusZoomManager) {
        return;
    }
    m_isCursorFocusActive.store(false);
    m_focusZoomManager->SetCropCallback({});
    m_focusZoomManager->SetMagnifier(nullptr);
    if (m_screenCapture) {
        m_screenCapture->ReleaseCrop();
    }
    WaitForFocusZoomIdle();
    m_focusZoomManager->Stop();
    std::this_thread::sleep_for(kShutdownSettle);
}

void NativeRecorder::Impl::WaitForFocusZoomIdle() const {
    const auto busy = [this] {
        return m_focusZoomManager->IsTransitionRunning() || m_focusZoomManager->IsTogglePending() ||
               m_focusZoomManager->IsPulseRunning();
    };
    const auto deadline = std::chrono::steady_clock::now() + kFocusIdleLimit;
    while (busy()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            LogLine(
                "[FocusZoomManager] WaitUntilIdle timed out while transition/pulse still "
                "active\n");
            return;
        }
        std::this_thread::sleep_for(kFocusIdlePoll);
    }
}

void NativeRecorder::Impl::JoinProgressThread() {
    platform::JoinOrAbandon(std::move(m_progressThread), kProgressJoinLimit,
                            "[NativeRecorder] STEP 7: WARNING: Progress thread join timed out "
                            "after 200ms \xC3\xA2\xE2\x82\xAC\xE2\x80\x9D abandoning waiter");
}

void NativeRecorder::Impl::WaitForInFlightCallbacksDrain() {
    const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
    while (m_inFlightCallbacks.load() >= 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kDrainPoll);
    }
    const int32_t remaining = m_inFlightCallbacks.load();
    if (remaining > 0) {
        LogLine(
            "[NativeRecorder] WaitForInFlightCallbacksDrain: timed out with %d still in flight\n",
            remaining);
    }
}

void NativeRecorder::Impl::FinalizeEncoder() {
    if (!m_encoder) {
        return;
    }
    platform::BackgroundTask finalize([encoder = m_encoder.get()] { encoder->Finalize(); });
    if (!finalize.WaitFor(kFinalizeReportAfter)) {
        LogLine("[NativeRecorder] STEP 11: Encoder finalize taking longer than expected...\n");
    }
    finalize.Wait();
}

void NativeRecorder::Impl::DestroyComponents() {
    std::unique_ptr<IScreenCapture> screen;
    std::unique_ptr<IAudioCapture> audio;
    {
        std::lock_guard lock(m_componentsMutex);
        screen = std::move(m_screenCapture);
        audio = std::move(m_audioCapture);
    }
    auto destroyInOrder = [magnifier = std::move(m_magnifierManager),
                           focus = std::move(m_focusZoomManager), screen = std::move(screen),
                           audio = std::move(audio), encoder = std::move(m_encoder)]() mutable {
        magnifier.reset();
        focus.reset();
        screen.reset();
        audio.reset();
        encoder.reset();
    };
    // A callback still inside a component after the drain keeps a reference to the recorder, so
    // the recorder is alive here; its components go once the last callback has left instead of
    // being pulled from under it.
    std::shared_ptr<NativeRecorder> self =
        m_inFlightCallbacks.load() > 0 ? m_owner.weak_from_this().lock() : nullptr;
    if (!self) {
        destroyInOrder();
        return;
    }
    platform::BackgroundTask deferred([self, destroy = std::move(destroyInOrder)]() mutable {
        while (self->m_impl->m_inFlightCallbacks.load() > 0) {
            std::this_thread::sleep_for(kDrainPoll);
        }
        destroy();
    });
}

// ---------------------------------------------------------------------------------------------
// Callbacks

void NativeRecorder::Impl::OnVideoFrame(gfx::Texture* texture, int64_t timestamp) {
    InFlightScope inFlight(m_inFlightCallbacks);
    if (m_isShuttingDown.load() || !m_isRecording.load() || m_isPaused.load()) {
        return;
    }
    IEncoder* encoder = m_encoder.get();
    if (encoder == nullptr) {
        return;
    }
    // The capture's time line already leaves pauses out.
    int64_t pts = std::max<int64_t>(timestamp, 0);
    m_lastVideoPts.store(pts);

    const int64_t lastWritten = m_lastWrittenVideoPts.load();
    if (pts <= lastWritten) {
        const int64_t before = pts;
        pts = lastWritten + kMonotonicStep;
        static FirstOnly nonMonotonicLogged;
        if (PerfLog::IsPerfEnabled() && nonMonotonicLogged()) {
            PerfLog::Write(
                "[PERF][Encode] non-monotonic PTS floored: %lldms -> %lldms (overlay rebase "
                "below written samples)\n",
                static_cast<long long>(before / 10'000), static_cast<long long>(pts / 10'000));
        }
    }
    m_lastWrittenVideoPts.store(pts);

    if (encoder->WriteVideoFrame(texture, pts)) {
        m_framesWritten.fetch_add(1);
        return;
    }
    const int32_t dropped = m_droppedFrames.fetch_add(1) + 1;
    if (IsEveryNth(static_cast<uint64_t>(dropped), 10)) {
        LogLine("[NativeRecorder] WriteVideoFrame failed, dropped=%d\n", dropped);
    }
}

// Where the picture written so far ends.
int64_t NativeRecorder::Impl::VideoEnd() const {
    return std::max<int64_t>(m_lastWrittenVideoPts.load(), 0) + m_frameDuration.load();
}

// The audio still buffered when the session stopped, up to the end of the last video frame, so
// that the sound does not end before the picture.
void NativeRecorder::Impl::DrainAudio() {
    m_drainingAudio.store(true);
    m_audioCapture->Drain(VideoEnd());
    m_drainingAudio.store(false);
}

void NativeRecorder::Impl::OnAudioData(const uint8_t* data, uint32_t bytes, int64_t timestamp,
                                       int64_t duration) {
    InFlightScope inFlight(m_inFlightCallbacks);
    if (m_isPaused.load()) {
        return;
    }
    // Once stopping, the picture has ended; the sound is kept up to the end of its last frame,
    // from the output thread while it runs and from the drain after it.
    const bool live = !m_isShuttingDown.load() && m_isRecording.load();
    const bool ending = m_isShuttingDown.load() && (m_isRecording.load() || m_drainingAudio.load());
    if (!live && !(ending && timestamp < VideoEnd())) {
        return;
    }
    IEncoder* encoder = m_encoder.get();
    if (encoder == nullptr) {
        return;
    }
    m_lastAudioPts.store(timestamp);
    encoder->WriteAudioSample(data, bytes, timestamp, duration);
}

void NativeRecorder::Impl::OnFocusCrop(const FocusRect& rect, Build build) {
    try {
        if (m_isShuttingDown.load()) {
            return;
        }
        if (!m_screenCapture) {
            LogLine(
                build == Build::kPrepare
                    ? "[NativeRecorder] WARNING: Crop callback (Prepare) but m_screenCapture is "
                      "null!\n"
                    : "[NativeRecorder] WARNING: Crop callback but m_screenCapture is null!\n");
            return;
        }
        m_screenCapture->SetCropRegion(rect.x - m_monitorOrigin.left, rect.y - m_monitorOrigin.top,
                                       rect.width, rect.height);
    } catch (const std::exception& e) {
        LogLine("[NativeRecorder] Crop callback exception: %s\n", e.what());
    } catch (...) {
        LogLine("[NativeRecorder] Crop callback unknown exception\n");
    }
}

void NativeRecorder::Impl::ProgressTick() {
    try {
        const double elapsed = ElapsedSeconds();
        const double fps =
            elapsed > 0.0 ? static_cast<double>(m_framesWritten.load()) / elapsed : 0.0;
        int64_t prefill = 0;
        uint64_t lateFrames = 0;
        std::string lostAudio;
        {
            std::lock_guard lock(m_componentsMutex);
            prefill = m_audioCapture ? m_audioCapture->RingPrefill() : 0;
            lateFrames = m_screenCapture ? m_screenCapture->LateFrames() : 0;
            lostAudio = m_audioCapture ? m_audioCapture->LostSources() : "";
        }
        // Said once: the recording goes on, and the file keeps the sound heard until then.
        if (!lostAudio.empty() && !m_audioLossReported.exchange(true)) {
            LogLine("[NativeRecorder] Audio lost: %s\n", lostAudio.c_str());
            RaiseError("Audio server lost: the recording goes on without its " + lostAudio);
        }
        // Frames the encoder refused, and slots the capture could only fill with a repeat.
        const auto dropped = static_cast<int32_t>(m_droppedFrames.load() + lateFrames);
        if (PerfLog::IsPerfEnabled()) {
            const int64_t videoPts = m_lastVideoPts.load();
            const int64_t audioPts = m_lastAudioPts.load();
            PerfLog::Write(
                "[PERF][AVSync] t=%.0fs videoPts=%lldms audioPts=%lldms drift(v-a)=%lldms "
                "fps=%.1f dropped=%d\n",
                elapsed, static_cast<long long>(videoPts / 10'000),
                static_cast<long long>(audioPts / 10'000),
                static_cast<long long>((videoPts - audioPts) / 10'000 - prefill / 10'000), fps,
                dropped);
        }
        auto progress = std::make_shared<RecordingProgress>(
            elapsed, RecordingProgress::EstimateBytes(elapsed), fps, dropped);
        m_progressUpdated.Raise(m_owner, progress);
    } catch (const std::exception& e) {
        LogLine("[NativeRecorder] ProgressTimer exception: %s\n", e.what());
    } catch (...) {
        LogLine("[NativeRecorder] ProgressTimer unknown exception\n");
    }
}

void NativeRecorder::Impl::RaiseError(const std::string& text) {
    m_errorOccurred.Raise(m_owner, text);
}

}  // namespace tamro
