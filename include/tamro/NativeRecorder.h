#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "tamro/AsyncOperation.h"
#include "tamro/Desktop.h"
#include "tamro/Event.h"
#include "tamro/Export.h"
#include "tamro/Object.h"
#include "tamro/RecordingConfig.h"
#include "tamro/RecordingProgress.h"
#include "tamro/Records.h"

namespace tamro {

class ComponentFactory;
class IAudioCapture;
class IEncoder;
class IFocusZoomManager;
class IMagnifierManager;
class IScreenCapture;
struct FocusRect;
namespace gfx {
class Texture;
}

// One recording surface: records a monitor, a window or a region of a monitor with system and
// microphone audio into an H.264/AAC MP4, and reports through events.
//
// Threading: every operation may be called from any thread. Start and Stop serialise on the
// session lock; Pause, Resume and the getters take no lock. Events are raised on the thread that
// detects the condition (the progress thread, a capture thread, or the thread that completes an
// asynchronous operation), outside every lock of the recorder.
//
// Lifetime: held through std::shared_ptr (Create). Destroying the recorder stops a running
// session first; background work holds its own reference while it touches the recorder.
class TAMRO_API NativeRecorder final : public Object,
                                       public std::enable_shared_from_this<NativeRecorder> {
  public:
    static constexpr std::string_view kClassName = "Tamro.Native.NativeRecorder";

    template <typename Args>
    using RecorderEvent = Event<NativeRecorder, Args>;
    template <typename Args>
    using Handler = std::function<void(NativeRecorder&, const Args&)>;

    static std::shared_ptr<NativeRecorder> Create();
    // On the chosen screen source; Create() is Create(ScreenSource::kDesktop).
    static std::shared_ptr<NativeRecorder> Create(ScreenSource source);
    // With substitute components; for tests and embedders with their own platform layer.
    static std::shared_ptr<NativeRecorder> Create(std::unique_ptr<ComponentFactory> factory);

    // Static operations. Discovery of the encoder's input format (and its cache) ahead of the
    // first recording.
    static void PreWarmEncoder();
    // Starts the media platform (logging a failure) and then pre-warms the encoder.
    static void InitializeMediaFoundation();
    // True when a hardware H.264 encoder that takes a GPU device is present.
    static bool HasHardwareEncoder();

    ~NativeRecorder() override;
    NativeRecorder(const NativeRecorder&) = delete;
    NativeRecorder& operator=(const NativeRecorder&) = delete;

    std::string_view ClassName() const noexcept override { return kClassName; }

    // Session.
    std::shared_ptr<AsyncOperation<bool>> StartAsync(const RecordingConfig& config);
    void Stop();
    void Pause();
    void Resume();

    // Prepared start: every component is built and configured ahead, so that the start itself
    // only stamps the time origin and starts the captures. Discarding is ignored while recording.
    std::shared_ptr<AsyncOperation<bool>> PrepareAsync(const RecordingConfig& config);
    std::shared_ptr<AsyncOperation<bool>> StartPreparedAsync();
    void DiscardPrepared();

    // Cursor focus and cropping while recording.
    void ToggleCursorFocus(bool active);
    void PulseAtCursor();
    void SetFocusZoomSettings(const FocusZoomSettings& settings);
    // In capture coordinates, as given.
    void SetCropRegion(const CaptureRect& rect);
    bool IsCursorFocusActive() const noexcept { return m_isCursorFocusActive.load(); }

    bool IsPrepared() const noexcept { return m_isPrepared.load(); }
    bool IsRecording() const noexcept { return m_isRecording.load(); }
    bool IsPaused() const noexcept { return m_isPaused.load(); }
    bool IsMicrophoneSilent() const;
    double ElapsedSeconds() const noexcept;
    int64_t EstimatedBytes() const noexcept;
    std::string OutputPath() const;
    // The session origin in 100-ns units; 0 before the first start.
    int64_t SessionStartTime() const noexcept;

    void SetMicrophoneVolume(double volume);
    void SetSystemVolume(double volume);

    // Events: the first overload adds a handler and returns its token, the second removes it.
    EventToken RecordingStarted(Handler<std::nullptr_t> handler) {
        return m_recordingStarted.Add(std::move(handler));
    }
    void RecordingStarted(EventToken token) { m_recordingStarted.Remove(token); }
    EventToken RecordingStopped(Handler<std::string> handler) {
        return m_recordingStopped.Add(std::move(handler));
    }
    void RecordingStopped(EventToken token) { m_recordingStopped.Remove(token); }
    EventToken ErrorOccurred(Handler<std::string> handler) {
        return m_errorOccurred.Add(std::move(handler));
    }
    void ErrorOccurred(EventToken token) { m_errorOccurred.Remove(token); }
    EventToken ProgressUpdated(Handler<std::shared_ptr<RecordingProgress>> handler) {
        return m_progressUpdated.Add(std::move(handler));
    }
    void ProgressUpdated(EventToken token) { m_progressUpdated.Remove(token); }
    EventToken CursorFocusChanged(Handler<bool> handler) {
        return m_cursorFocusChanged.Add(std::move(handler));
    }
    void CursorFocusChanged(EventToken token) { m_cursorFocusChanged.Remove(token); }
    // Kept for callers that subscribe to it; never raised.
    EventToken ReservedNotification(Handler<std::nullptr_t> handler) {
        return m_reservedNotification.Add(std::move(handler));
    }
    void ReservedNotification(EventToken token) { m_reservedNotification.Remove(token); }

  private:
    struct ProgressSignal;
    struct Origin {
        int32_t left = 0;
        int32_t top = 0;
    };

    explicit NativeRecorder(std::unique_ptr<ComponentFactory> factory);

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
