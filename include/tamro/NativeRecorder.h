#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "tamro/AsyncOperation.h"
#include "tamro/BgraBitmap.h"
#include "tamro/Desktop.h"
#include "tamro/Event.h"
#include "tamro/Export.h"
#include "tamro/Object.h"
#include "tamro/RecordingConfig.h"
#include "tamro/RecordingProgress.h"
#include "tamro/Records.h"

namespace tamro {

class ComponentFactory;

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
    // Loads the person-segmentation model now, so that the first background effect starts
    // without the load's delay.
    static void PreWarmMLModel();

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
    // Opens the camera of the bubble for a prepared session, so that its start shows the bubble
    // from the first frames; false when nothing is prepared, while recording, or with the
    // overlay off.
    std::shared_ptr<AsyncOperation<bool>> PrepareCameraOverlayAsync();

    // The webcam bubble composited into recordings. The settings apply from the next start;
    // the rectangle (normalised 0..1 of the output frame) also while recording.
    void SetCameraOverlayConfig(const CameraOverlayConfig& config);
    void SetCameraOverlayRect(double x, double y, double width, double height);
    bool IsCameraOverlayActive() const noexcept;
    // On by default: the recording camera's pictures are also raised as PreviewFrameReady.
    void SetOverlayPreviewForward(bool enabled);
    // The bubble from a camera another recorder shares by `handle`, instead of opening the
    // camera a second time; width or height 0: the shared picture's size.
    bool SetupCameraOverlayFromSharedHandle(uint64_t handle, uint32_t width, uint32_t height);
    // A shared camera for the next recordings' bubble; 0 for none.
    void SetSharedCameraHandle(uint64_t handle);

    // The live camera preview, before and during recordings: frames go into the attached bubble
    // window, or else are raised as PreviewFrameReady. Size and rate are the camera's request (a
    // rate of 0 or less asks for 30); a start while one is in progress completes false.
    std::shared_ptr<AsyncOperation<bool>> StartCameraPreviewAsync(
        const std::string& deviceId, int32_t width, int32_t height, int32_t frameRate,
        const BackgroundEffectConfig& effect);
    void StopCameraPreview();
    void SetPreviewBackgroundEffect(const BackgroundEffectConfig& effect);
    bool IsPreviewRunning() const noexcept;
    // Steady-clock nanoseconds of the last preview frame shown; 0 before the first.
    int64_t PreviewFrameTime() const noexcept;

    // The application's bubble window (an X11 window id), into which the preview draws the bubble
    // itself; 0 detaches. False when the window cannot be used (TAMRO_GPU_BUBBLE=0, a size of 0);
    // a window that fails later (destroyed, display lost) hands the frames back to
    // PreviewFrameReady until a window is attached again.
    bool AttachBubblePresenter(int64_t window, uint32_t width, uint32_t height);
    // borderColor is 0xAARRGGBB; cameraAspect 0 or less takes the frames' own.
    void SetBubbleAppearance(double cornerRadius, double borderWidth, uint32_t borderColor,
                             bool mirror, bool cover, double cameraAspect);
    // Ignored when either is 0 or less.
    void SetBubbleSize(int32_t width, int32_t height);
    bool IsGpuBubbleActive() const noexcept;

    // Lends the running preview's camera to recordings of this or another recorder: the handle
    // goes to their SetSharedCameraHandle; 0 when no preview runs.
    uint64_t BeginCameraShare();
    void EndCameraShare();
    // The consuming recording's SessionStartTime, so that the shared frames are timed on its
    // clock; 0 or less: the frames carry no time.
    void SetSharedSessionStartTime(int64_t sessionStart);

    // The background effect of the bubble's camera: for the next recordings, and at once for the
    // running one when its bubble has an effect.
    void SetBackgroundEffect(const BackgroundEffectConfig& config);
    // Camera frames the running bubble's effect has processed; 0 without one.
    uint64_t ProcessedEffectFrames() const;
    // Whether background effects can find the person (the segmentation model loads); loads the
    // model once when no effect is running.
    bool IsBackgroundEffectAvailable() const;

    // Cursor focus and cropping while recording.
    void ToggleCursorFocus(bool active);
    void PulseAtCursor();
    void SetFocusZoomSettings(const FocusZoomSettings& settings);
    // In capture coordinates, as given.
    void SetCropRegion(const CaptureRect& rect);
    bool IsCursorFocusActive() const noexcept;

    bool IsPrepared() const noexcept;
    bool IsRecording() const noexcept;
    bool IsPaused() const noexcept;
    bool IsMicrophoneSilent() const;
    double ElapsedSeconds() const noexcept;
    int64_t EstimatedBytes() const noexcept;
    std::string OutputPath() const;
    // The session origin in 100-ns units; 0 before the first start.
    int64_t SessionStartTime() const noexcept;

    void SetMicrophoneVolume(double volume);
    void SetSystemVolume(double volume);

    // Events: the first overload adds a handler and returns its token, the second removes it.
    EventToken RecordingStarted(Handler<std::nullptr_t> handler);
    void RecordingStarted(EventToken token);
    EventToken RecordingStopped(Handler<std::string> handler);
    void RecordingStopped(EventToken token);
    EventToken ErrorOccurred(Handler<std::string> handler);
    void ErrorOccurred(EventToken token);
    EventToken ProgressUpdated(Handler<std::shared_ptr<RecordingProgress>> handler);
    void ProgressUpdated(EventToken token);
    EventToken CursorFocusChanged(Handler<bool> handler);
    void CursorFocusChanged(EventToken token);
    // Camera pictures for the application to show, about 30 a second.
    EventToken PreviewFrameReady(Handler<std::shared_ptr<BgraBitmap>> handler);
    void PreviewFrameReady(EventToken token);
    // Kept for callers that subscribe to it; never raised.
    EventToken ReservedNotification(Handler<std::nullptr_t> handler);
    void ReservedNotification(EventToken token);

  private:
    class Impl;

    explicit NativeRecorder(std::unique_ptr<ComponentFactory> factory);

    std::unique_ptr<Impl> m_impl;
};

}  // namespace tamro
