#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "audio/IAudioCapture.h"
#include "capture/IFocusZoomManager.h"
#include "capture/IMagnifierManager.h"
#include "capture/IScreenCapture.h"
#include "encode/IEncoder.h"
#include "session/ComponentFactory.h"
#include "tamro/NativeRecorder.h"

namespace tamro {

// The recorder's state and work behind the public façade, which forwards every operation here.
// Events are raised with the façade as their sender; background work holds the façade's
// reference while it touches this object.
// Threading: as NativeRecorder; the progress thread is this object's, joined by Stop.
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

    NativeRecorder& m_owner;
    struct ProgressSignal;
    struct Origin {
        int32_t left = 0;
        int32_t top = 0;
    };

    // A session built by StartAsync or, without starting anything, by PrepareAsync.
    enum class Build { kStart, kPrepare };

    bool RunStart(const RecordingConfig& config);
    bool StartSession(const RecordingConfig& config, std::string& error);
    bool BuildSession(const RecordingConfig& config, Build build, std::string& error);
    bool FailStart(const char* message, std::string& error);
    bool RunPrepare(const RecordingConfig& config);
    bool PrepareSession(const RecordingConfig& config, std::string& error);
    bool RunStartPrepared();
    bool StartPreparedSession(std::string& error);
    bool FailPreparedStart(const std::string& reason, std::string& error);
    bool StartScreenCapture();
    void StartAudioCapture();
    void RaiseStartOutcome(bool started, const std::string& error);
    bool InitializeScreenCapture(const RecordingConfig& config);
    bool SetUpCaptureRegion(const RecordingConfig& config, Build build, int32_t& capturedWidth,
                            int32_t& capturedHeight, std::string& error);
    void SetUpFocusZoom(const RecordingConfig& config, int32_t capturedWidth,
                        int32_t capturedHeight, int32_t outputWidth, int32_t outputHeight,
                        Build build);
    void SetUpAudio(const RecordingConfig& config);
    bool TryProcessAudio(const RecordingConfig& config);
    bool CreateInitializedAudio(const RecordingConfig& config, bool captureSystem);
    void ApplyAudioSettings(const RecordingConfig& config);
    void ResetSessionTiming();
    void StartProgressThread();
    void WritePerfStartLine() const;

    void RunStop();
    void WindDownFocusZoom();
    void WaitForFocusZoomIdle() const;
    void JoinProgressThread();
    void WaitForInFlightCallbacksDrain();
    void FinalizeEncoder();
    void DestroyComponents();
    void RaiseStoppedAfterFailure(const char* failureLine);

    void OnVideoFrame(gfx::Texture* texture, int64_t timestamp);
    void OnAudioData(const uint8_t* data, uint32_t bytes, int64_t timestamp, int64_t duration);
    int64_t VideoEnd() const;
    void DrainAudio();
    void OnFocusCrop(const FocusRect& rect, Build build);
    void ProgressTick();
    void RaiseError(const std::string& text);

    std::unique_ptr<ComponentFactory> m_factory;

    std::unique_ptr<IScreenCapture> m_screenCapture;
    std::unique_ptr<IAudioCapture> m_audioCapture;
    std::unique_ptr<IEncoder> m_encoder;
    std::unique_ptr<IFocusZoomManager> m_focusZoomManager;
    std::unique_ptr<IMagnifierManager> m_magnifierManager;

    std::atomic<bool> m_isRecording{false};
    std::atomic<bool> m_isPaused{false};
    std::atomic<bool> m_isPrepared{false};
    std::atomic<bool> m_isCursorFocusActive{false};
    std::atomic<bool> m_isShuttingDown{false};
    std::shared_ptr<ProgressSignal> m_progressRunning;
    std::thread m_progressThread;
    std::atomic<int32_t> m_inFlightCallbacks{0};

    std::string m_outputPath;
    mutable std::mutex m_outputPathMutex;
    Origin m_monitorOrigin;
    FocusZoomSettings m_focusZoomSettings;
    std::unique_ptr<RecordingConfig> m_preparedConfig;

    std::atomic<int64_t> m_recordingStartNs{0};
    std::atomic<int64_t> m_pauseStartNs{0};
    std::atomic<int64_t> m_pausedTotalUs{0};
    std::atomic<int64_t> m_pausedElapsedUs{0};
    std::atomic<int64_t> m_sessionOriginNs{0};
    std::atomic<bool> m_hasSessionOrigin{false};

    std::atomic<uint64_t> m_framesWritten{0};
    std::atomic<int32_t> m_droppedFrames{0};
    std::atomic<bool> m_audioLossReported{false};
    std::atomic<int64_t> m_lastVideoPts{0};
    std::atomic<int64_t> m_lastAudioPts{0};
    std::atomic<int64_t> m_lastWrittenVideoPts{-1};
    std::atomic<int64_t> m_frameDuration{0};  // 100-ns units
    std::atomic<bool> m_drainingAudio{false};

    std::mutex m_sessionMutex;
    // Guards replacing or destroying the screen and audio captures against the operations that
    // reach them from the application's threads (pause, volumes, silence) and the progress thread.
    mutable std::mutex m_componentsMutex;

    RecorderEvent<std::nullptr_t> m_recordingStarted;
    RecorderEvent<std::string> m_recordingStopped;
    RecorderEvent<std::string> m_errorOccurred;
    RecorderEvent<std::shared_ptr<RecordingProgress>> m_progressUpdated;
    RecorderEvent<bool> m_cursorFocusChanged;
    RecorderEvent<std::nullptr_t> m_reservedNotification;
};

}  // namespace tamro
