#include "session/NativeRecorderImpl.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "diag/Log.h"
#include "diag/PerfLog.h"
#include "diag/RateLimit.h"

namespace tamro {
namespace {

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

NativeRecorder::Impl::Impl(NativeRecorder& owner, std::unique_ptr<ComponentFactory> factory)
    : m_owner(owner), m_factory(std::move(factory)), m_timeline(m_factory->Clock()) {}

NativeRecorder::Impl::~Impl() {
    Stop();
    // A preparation, or what a failed start left, has recorded nothing: no file is kept of it.
    DiscardPrepared();
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
            RaiseCameraNotice();
        } else if (!error.empty()) {
            RaiseError(error);
        }
    } catch (const std::exception& e) {
        LogLine("[NativeRecorder] Exception: %s\n", e.what());
    } catch (...) {
        LogLine("[NativeRecorder] Unknown exception\n");
    }
}

bool NativeRecorder::Impl::StartSession(const RecordingConfig& config, std::string& error) {
    if (!BuildSession(config, SessionBuilder::Kind::kStart, error)) {
        return false;
    }
    if (m_focusZoomManager) {
        m_focusZoomManager->Start();
    }
    OpenCameraOverlay();
    ResetSessionTiming(config.CameraOverlayLatencyMs());
    if (!StartScreenCapture()) {
        LogLine("[NativeRecorder] Failed to start screen capture\n");
        error = "Failed to start screen capture";
        return false;
    }
    StartAudioCapture();
    m_isRecording.store(true);
    m_isPaused.store(false);
    WritePerfStartLine();
    StartProgress();
    return true;
}

// Everything up to the start of the captures; the session's parts replace the last ones only
// once they are complete.
bool NativeRecorder::Impl::BuildSession(const RecordingConfig& config, SessionBuilder::Kind kind,
                                        std::string& error) {
    {
        std::lock_guard lock(m_outputPathMutex);
        m_outputPath = config.OutputPath();
    }
    SessionBuilder builder(*m_factory, kind,
                           [weak = m_owner.weak_from_this(), kind](const FocusRect& rect) {
                               if (auto self = weak.lock()) {
                                   self->m_impl->OnFocusCrop(rect, kind);
                               }
                           });
    std::unique_ptr<SessionParts> parts = builder.Build(config, error);
    if (!parts) {
        return false;
    }
    AdoptParts(std::move(parts));
    return true;
}

void NativeRecorder::Impl::AdoptParts(std::unique_ptr<SessionParts> parts) {
    if (m_focusZoomManager) {
        m_focusZoomManager->Stop();
    }
    if (m_magnifierManager) {
        m_magnifierManager->Stop();
    }
    m_stop.Destroy(TakeParts(), nullptr);
    {
        std::lock_guard lock(m_componentsMutex);
        m_screenCapture = std::move(parts->screen);
        m_audioCapture = std::move(parts->audio);
        m_encoder = std::move(parts->encoder);
    }
    m_focusZoomManager = std::move(parts->focusZoom);
    m_magnifierManager = std::move(parts->magnifier);
    m_monitorOrigin = parts->origin;
    m_timeline.SetFrameDuration(parts->frameDuration);
}

std::unique_ptr<SessionParts> NativeRecorder::Impl::TakeParts() {
    auto parts = std::make_unique<SessionParts>();
    {
        std::lock_guard lock(m_componentsMutex);
        parts->screen = std::move(m_screenCapture);
        parts->audio = std::move(m_audioCapture);
        parts->encoder = std::move(m_encoder);
    }
    parts->focusZoom = std::move(m_focusZoomManager);
    parts->magnifier = std::move(m_magnifierManager);
    return parts;
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

void NativeRecorder::Impl::ResetSessionTiming(int32_t cameraLatencyMs) {
    m_framesWritten.store(0);
    m_droppedFrames.store(0);
    m_audioLossReported.store(false);
    m_endedByItself.store(false);
    const int64_t origin = m_timeline.Start();
    m_screenCapture->SetSessionStartTime(origin);
    if (m_audioCapture) {
        m_audioCapture->SetSessionStartTime(origin);
    }
    m_overlay.ResetTiming(cameraLatencyMs);
    m_overlay.OnSessionStart(origin);
}

void NativeRecorder::Impl::StartProgress() {
    m_progress.Start([weak = m_owner.weak_from_this()] {
        auto self = weak.lock();
        if (self) {
            self->m_impl->ProgressTick();
        }
        return self != nullptr;
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
        if (!BuildSession(config, SessionBuilder::Kind::kPrepare, error)) {
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
    OpenCameraOverlay();
    ResetSessionTiming(m_preparedConfig ? m_preparedConfig->CameraOverlayLatencyMs() : 0);
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
    StartProgress();
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
    m_overlay.Teardown();
    if (m_encoder) {
        m_encoder->Abandon();  // nothing was recorded: no file is left behind
    }
    DestroyComponents();
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
        m_focusZoomManager->UpdateSettings(SessionBuilder::WithDefaults(settings));
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
    m_timeline.NotePause();
    SetCapturesPaused(true);
    m_isPaused.store(true);
}

void NativeRecorder::Impl::Resume() {
    if (!m_isRecording.load() || !m_isPaused.load()) {
        return;
    }
    m_timeline.NoteResume();
    m_isPaused.store(false);
    SetCapturesPaused(false);
}

void NativeRecorder::Impl::SetCapturesPaused(bool paused) {
    std::lock_guard lock(m_componentsMutex);
    if (m_screenCapture) {
        m_screenCapture->SetPaused(paused);
    }
    if (m_audioCapture) {
        m_audioCapture->SetPaused(paused);
    }
}

double NativeRecorder::Impl::ElapsedSeconds() const noexcept {
    if (!m_isRecording.load()) {
        return 0.0;
    }
    return m_timeline.ElapsedSeconds(m_isPaused.load());
}

int64_t NativeRecorder::Impl::EstimatedBytes() const noexcept {
    return RecordingProgress::EstimateBytes(ElapsedSeconds());
}

int64_t NativeRecorder::Impl::SessionStartTime() const noexcept {
    return m_timeline.SessionStartTime();
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
        m_audioCapture->SetMicrophoneVolume(SessionBuilder::ClampVolume(volume));
    }
}

void NativeRecorder::Impl::SetSystemVolume(double volume) {
    std::lock_guard lock(m_componentsMutex);
    if (m_audioCapture) {
        m_audioCapture->SetSystemVolume(SessionBuilder::ClampVolume(volume));
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
    m_progress.RequestStop();
    StopSequence::Settle();

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
        m_progress.Join();
        m_overlay.Deactivate();
        if (m_screenCapture) {
            m_screenCapture->Stop();
        }
        m_stop.WaitForCallbacks();
        m_overlay.Teardown();
        if (m_audioCapture) {
            m_audioCapture->Stop();
            DrainAudio();
        }
        if (m_encoder) {
            m_stop.FinalizeEncoder(*m_encoder);
        }
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
    StopSequence::WindDownFocusZoom(*m_focusZoomManager, m_screenCapture.get());
}

// A callback still inside a component holds the recorder, which the deferred destruction keeps.
// Whatever was prepared goes with the parts, also when a start replaced them.
void NativeRecorder::Impl::DestroyComponents() {
    m_isPrepared.store(false);
    m_stop.Destroy(TakeParts(), m_owner.weak_from_this().lock());
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
    int64_t pts = m_timeline.NoteVideo(timestamp);
    texture = m_overlay.ApplyToFrame(texture, pts);
    pts = m_timeline.FloorVideo(pts);
    if (encoder->WriteVideoFrame(texture, pts)) {
        m_framesWritten.fetch_add(1);
        return;
    }
    const int32_t dropped = m_droppedFrames.fetch_add(1) + 1;
    if (IsEveryNth(static_cast<uint64_t>(dropped), 10)) {
        LogLine("[NativeRecorder] WriteVideoFrame failed, dropped=%d\n", dropped);
    }
}

// The audio still buffered when the session stopped, up to the end of the last video frame, so
// that the sound does not end before the picture.
void NativeRecorder::Impl::DrainAudio() {
    m_timeline.SetDraining(true);
    m_audioCapture->Drain(m_timeline.VideoEnd());
    m_timeline.SetDraining(false);
}

void NativeRecorder::Impl::OnAudioData(const uint8_t* data, uint32_t bytes, int64_t timestamp,
                                       int64_t duration) {
    InFlightScope inFlight(m_inFlightCallbacks);
    if (m_isPaused.load()) {
        return;
    }
    if (!m_timeline.KeepsAudio(timestamp, m_isRecording.load(), m_isShuttingDown.load())) {
        return;
    }
    IEncoder* encoder = m_encoder.get();
    if (encoder == nullptr) {
        return;
    }
    m_timeline.NoteAudio(timestamp);
    encoder->WriteAudioSample(data, bytes, timestamp, duration);
}

void NativeRecorder::Impl::OnFocusCrop(const FocusRect& rect, SessionBuilder::Kind kind) {
    try {
        if (m_isShuttingDown.load()) {
            return;
        }
        if (!m_screenCapture) {
            LogLine(
                kind == SessionBuilder::Kind::kPrepare
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
        ProgressReporter::Figures figures{.elapsedSeconds = ElapsedSeconds(),
                                          .framesWritten = m_framesWritten.load(),
                                          .videoPts = m_timeline.LastVideoPts(),
                                          .audioPts = m_timeline.LastAudioPts()};
        uint64_t lateFrames = 0;
        std::string audioLoss;
        std::string writeFailure;
        std::string captureEnded;
        {
            std::lock_guard lock(m_componentsMutex);
            figures.audioPrefill = m_audioCapture ? m_audioCapture->RingPrefill() : 0;
            lateFrames = m_screenCapture ? m_screenCapture->LateFrames() : 0;
            audioLoss = m_audioCapture ? ProgressReporter::AudioLossNotice(*m_audioCapture) : "";
            writeFailure = m_encoder ? m_encoder->WriteFailure() : "";
            captureEnded = m_screenCapture ? m_screenCapture->CaptureEnded() : "";
        }
        if (!writeFailure.empty()) {
            EndByItself("Writing the file failed (" + writeFailure +
                        "): the recording stopped, and the file keeps what was written before");
            return;
        }
        if (!captureEnded.empty()) {
            EndByItself(captureEnded);
            return;
        }
        // Said once: the recording goes on, and the file keeps the sound heard until then.
        if (!audioLoss.empty() && !m_audioLossReported.exchange(true)) {
            LogLine("[NativeRecorder] %s\n", audioLoss.c_str());
            RaiseError(audioLoss);
        }
        // Frames the encoder refused, and slots the capture could only fill with a repeat.
        figures.dropped = static_cast<int32_t>(m_droppedFrames.load() + lateFrames);
        m_progressUpdated.Raise(m_owner, ProgressReporter::Report(figures));
    } catch (const std::exception& e) {
        LogLine("[NativeRecorder] ProgressTimer exception: %s\n", e.what());
    } catch (...) {
        LogLine("[NativeRecorder] ProgressTimer unknown exception\n");
    }
}

// Nothing more can be recorded (the file cannot be written, the display or the window is gone):
// the recording ends at once and keeps what it has. The stop runs on a thread of its own, since
// it waits for this progress thread.
void NativeRecorder::Impl::EndByItself(const std::string& why) {
    if (m_endedByItself.exchange(true)) {
        return;
    }
    LogLine("[NativeRecorder] The recording ends by itself: %s\n", why.c_str());
    RaiseError(why);
    AsyncOperation<bool>::Run([self = m_owner.shared_from_this()] {
        self->Stop();
        return true;
    });
}

void NativeRecorder::Impl::RaiseError(const std::string& text) {
    m_errorOccurred.Raise(m_owner, text);
}

}  // namespace tamro
