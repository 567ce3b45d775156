#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "audio/IAudioCapture.h"
#include "camera/CameraOverlay.h"
#include "camera/CameraPreview.h"
#include "capture/IFocusZoomManager.h"
#include "capture/IMagnifierManager.h"
#include "capture/IScreenCapture.h"
#include "encode/IEncoder.h"
#include "session/ComponentFactory.h"
#include "session/MediaTimeline.h"
#include "session/ProgressReporter.h"
#include "session/SessionBuilder.h"
#include "session/StopSequence.h"
#include "tamro/NativeRecorder.h"

namespace tamro {

// The recorder's state and work behind the public façade, which forwards every operation here.
// Events are raised with the façade as their sender; background work holds the façade's
// reference while it touches this object.
// Threading: as NativeRecorder. The session's parts are built by SessionBuilder, its time kept by
// MediaTimeline on the factory's clock, its progress thread owned by ProgressReporter and its
// bounded stop steps taken by StopSequence.
// Hidden: the façade's export would otherwise carry it into the library's interface.
class __attribute__((visibility("hidden"))) NativeRecorder::Impl {
  public:
    Impl(NativeRecorder& owner, std::unique_ptr<ComponentFactory> factory);
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    std::shared_ptr<AsyncOperation<bool>> StartAsync(const RecordingConfig& config);
    void Stop();
    void Pause();
    void Resume();
    std::shared_ptr<AsyncOperation<bool>> PrepareAsync(const RecordingConfig& config);
    std::shared_ptr<AsyncOperation<bool>> StartPreparedAsync();
    void DiscardPrepared();
    void ToggleCursorFocus(bool active);
    void PulseAtCursor();
    void SetFocusZoomSettings(const FocusZoomSettings& settings);
    void SetCropRegion(const CaptureRect& rect);
    bool IsMicrophoneSilent() const;
    double ElapsedSeconds() const noexcept;
    int64_t EstimatedBytes() const noexcept;
    std::string OutputPath() const;
    int64_t SessionStartTime() const noexcept;
    void SetMicrophoneVolume(double volume);
    void SetSystemVolume(double volume);
    std::shared_ptr<AsyncOperation<bool>> PrepareCameraOverlayAsync();
    bool SetupCameraOverlayFromSharedHandle(uint64_t handle, uint32_t width, uint32_t height);
    bool IsBackgroundEffectAvailable() const;
    std::shared_ptr<AsyncOperation<bool>> StartCameraPreviewAsync(
        const std::string& deviceId, int32_t width, int32_t height, int32_t frameRate,
        const BackgroundEffectConfig& effect);

    NativeRecorder& m_owner;

    bool RunStart(const RecordingConfig& config);
    bool StartSession(const RecordingConfig& config, std::string& error);
    bool BuildSession(const RecordingConfig& config, SessionBuilder::Kind kind, std::string& error);
    void AdoptParts(std::unique_ptr<SessionParts> parts);
    std::unique_ptr<SessionParts> TakeParts();
    bool RunPrepare(const RecordingConfig& config);
    bool PrepareSession(const RecordingConfig& config, std::string& error);
    bool RunStartPrepared();
    bool StartPreparedSession(std::string& error);
    bool FailPreparedStart(const std::string& reason, std::string& error);
    bool StartScreenCapture();
    void StartAudioCapture();
    void RaiseStartOutcome(bool started, const std::string& error);
    void ResetSessionTiming(int32_t cameraLatencyMs);
    void StartProgress();
    void WritePerfStartLine() const;

    void SetCapturesPaused(bool paused);
    void RunStop();
    void WindDownFocusZoom();
    void DestroyComponents();
    void RaiseStoppedAfterFailure(const char* failureLine);

    void OnVideoFrame(gfx::Texture* texture, int64_t timestamp);
    void OnAudioData(const uint8_t* data, uint32_t bytes, int64_t timestamp, int64_t duration);
    void DrainAudio();
    void OnFocusCrop(const FocusRect& rect, SessionBuilder::Kind kind);
    void ProgressTick();
    void EndByItself(const std::string& why);
    void RaiseError(const std::string& text);

    // Camera overlay glue (NativeRecorderCamera.cc).
    CameraOverlay::Environment OverlayEnvironment();
    CameraPreview::Environment PreviewEnvironment();
    platform::camera::CameraSystemProvider CameraProvider();
    CameraEffectFactory EffectFactory() const;
    CameraOverlay::Screen OverlayScreen() const;
    bool RunPrepareCameraOverlay();
    void OpenCameraOverlay();
    void RaiseCameraNotice();

    std::unique_ptr<ComponentFactory> m_factory;

    std::unique_ptr<IScreenCapture> m_screenCapture;
    std::unique_ptr<IAudioCapture> m_audioCapture;
    std::unique_ptr<IEncoder> m_encoder;
    std::unique_ptr<IFocusZoomManager> m_focusZoomManager;
    std::unique_ptr<IMagnifierManager> m_magnifierManager;
    MonitorOrigin m_monitorOrigin;

    std::atomic<bool> m_isRecording{false};
    std::atomic<bool> m_isPaused{false};
    std::atomic<bool> m_isPrepared{false};
    std::atomic<bool> m_isCursorFocusActive{false};
    std::atomic<bool> m_isShuttingDown{false};
    std::atomic<int32_t> m_inFlightCallbacks{0};

    std::string m_outputPath;
    mutable std::mutex m_outputPathMutex;
    FocusZoomSettings m_focusZoomSettings;
    std::unique_ptr<RecordingConfig> m_preparedConfig;
    std::string m_cameraNotice;  // under m_sessionMutex until raised

    MediaTimeline m_timeline;
    ProgressReporter m_progress;
    StopSequence m_stop{m_inFlightCallbacks};
    std::atomic<uint64_t> m_framesWritten{0};
    std::atomic<int32_t> m_droppedFrames{0};
    std::atomic<bool> m_audioLossReported{false};
    std::atomic<bool> m_endedByItself{false};

    std::mutex m_sessionMutex;
    // Guards replacing or destroying the screen and audio captures against the operations that
    // reach them from the application's threads (pause, volumes, silence) and the progress thread.
    mutable std::mutex m_componentsMutex;

    RecorderEvent<std::nullptr_t> m_recordingStarted;
    RecorderEvent<std::string> m_recordingStopped;
    RecorderEvent<std::string> m_errorOccurred;
    RecorderEvent<std::shared_ptr<RecordingProgress>> m_progressUpdated;
    RecorderEvent<bool> m_cursorFocusChanged;
    RecorderEvent<std::shared_ptr<BgraBitmap>> m_previewFrameReady;
    RecorderEvent<std::nullptr_t> m_reservedNotification;

    // Declared last: their camera threads raise the events above, and the overlay's counts in
    // the drain.
    CameraPreview m_preview{PreviewEnvironment()};
    CameraOverlay m_overlay{OverlayEnvironment()};
};

}  // namespace tamro
