#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "camera/CameraCapture.h"
#include "camera/CameraCompositor.h"
#include "camera/CameraOverlayParams.h"
#include "camera/ICameraFrameEffect.h"
#include "camera/OverlayRebase.h"
#include "platform/camera/CameraSystem.h"
#include "platform/gfx/Device.h"
#include "tamro/BgraBitmap.h"
#include "tamro/Records.h"

namespace tamro {

// The webcam bubble of a recording: its settings, the pipeline that brings camera frames across
// to the screen's device, and the step of the video path that composites them.
//
// Two producers feed it: a recording camera of its own, or a camera another recorder shares by
// handle. Producer and consumer meet only at a shared texture guarded by a keyed mutex that
// neither side waits on: a busy texture drops the producer's frame or reuses the consumer's last.
//
// Threading: settings from any thread (under the layout lock); setup, teardown and the session
// hooks from the recorder's control threads, which serialise them; OnRecordingCameraFrame on the
// camera's delivery thread; ApplyToFrame on the screen's frame thread. The textures live in a
// pipeline object that each of those threads holds for the duration of its use, so a teardown
// never frees what a frame is still using.
class CameraOverlay {
  public:
    struct Environment {
        // Cameras by device id; empty for the platform's.
        platform::camera::CameraSystemProvider cameras;
        // The background effect of the recording camera; empty: effects cannot run here.
        CameraEffectFactory effects;
        // Camera time of a shared camera's last frame (100-ns); empty: 0.
        std::function<int64_t(uint64_t handle)> sharedCameraTime;
        // Raised with every forwarded camera picture, at most one per 33 ms.
        std::function<void(std::shared_ptr<BgraBitmap>)> previewFrame;
        // Whether anyone takes the pictures; empty: always. Nobody listening, none is read back.
        std::function<bool()> previewWanted;
        // Told once when the recording camera stops delivering by itself.
        std::function<void(const std::string& reason)> cameraLost;
        // Counts the camera callback while it runs, for the recorder's drain.
        std::atomic<int32_t>* inFlight = nullptr;
        std::function<bool()> shuttingDown;
        // Steady clock in nanoseconds; empty for the platform's.
        std::function<int64_t()> clock;
    };

    // The screen the bubble is composited onto.
    struct Screen {
        gfx::Device* device = nullptr;
        uint32_t width = 0;
        uint32_t height = 0;
    };

    explicit CameraOverlay(Environment environment);
    ~CameraOverlay();
    CameraOverlay(const CameraOverlay&) = delete;
    CameraOverlay& operator=(const CameraOverlay&) = delete;

    // Settings.
    void SetConfig(const CameraOverlayConfig& config);
    void SetRect(double x, double y, double width, double height);
    bool IsEnabled() const { return m_enabled.load(); }
    bool IsActive() const { return m_active.load(); }
    void SetPreviewForward(bool enabled);
    void SetSharedHandle(uint64_t handle) { m_sharedHandle.store(handle); }
    uint64_t SharedHandle() const { return m_sharedHandle.load(); }
    CameraOverlayParams Params() const;

    // Builds the pipeline on the screen's device. The recording camera times its frames from its
    // own start until OnSessionStart gives it the session's origin.
    bool SetupPipeline(const Screen& screen);
    // The consumer side only, on a camera shared by `handle`; width or height 0: the shared
    // texture's size.
    bool SetupFromSharedHandle(const Screen& screen, uint64_t handle, uint32_t width,
                               uint32_t height);

    // Why the last setup left the bubble off, in words for the user; empty after a success.
    std::string SetupFailure() const;
    // What the last setup could not do of the background effect, in words for the user; empty
    // when it runs as asked.
    std::string EffectNotice() const;

    // The recording camera's background effect: kept for the next setup and applied at once to
    // the running pipeline's effect, when it has one.
    void SetEffect(const BackgroundEffectConfig& effect);
    // Frames the running pipeline's effect has processed; 0 without one.
    uint64_t ProcessedEffectFrames() const;
    // Whether the running pipeline's effect finds the person; nothing without an effect.
    std::optional<bool> EffectFindsPeople() const;

    // A recording starts: the latency estimate starts from `latencyMs` (below 1: 100 ms).
    void ResetTiming(int32_t latencyMs);
    // A prepared recording starts at `originNs`: frames are composited again from the first
    // camera frame stamped on the new origin.
    void OnSessionStart(std::optional<int64_t> originNs);
    // First stop step: no frame is composited or handed over any more, the camera stops.
    void Deactivate();
    void Teardown();

    // The overlay step of the video path: the texture to write (the composited copy or `frame`)
    // and, when composited, `pts` moved onto the camera's clock.
    gfx::Texture* ApplyToFrame(gfx::Texture* frame, int64_t& pts);

    // The recording camera's frame callback.
    void OnRecordingCameraFrame(gfx::Texture* texture, int64_t timestamp);

  private:
    struct Pipeline;

    bool SetupRecordingCamera(const Screen& screen, const std::string& deviceId, int32_t fps,
                              const BackgroundEffectConfig& effect);
    bool BuildSharedTextures(Pipeline& pipeline, gfx::Device* cameraDevice,
                             gfx::Device* screenDevice);
    void AddEffect(Pipeline& pipeline, gfx::Device* cameraDevice,
                   const BackgroundEffectConfig& effect);
    void Activate(std::shared_ptr<Pipeline> pipeline);
    bool FailSetup(const char* line);
    void NoteFailure(std::string failure);
    void ForwardPreview(Pipeline& pipeline, gfx::Texture* texture);
    int64_t CameraTime(const Pipeline& pipeline) const;
    bool BehindTheCamera(const Pipeline& pipeline, int64_t pts) const;
    void TakeCameraPicture(Pipeline& pipeline);
    gfx::Texture* Composite(Pipeline& pipeline, gfx::Texture* frame);
    std::shared_ptr<Pipeline> CurrentPipeline() const;
    void StopCamera();
    int64_t Now() const;

    Environment m_env;

    mutable std::mutex m_layoutMutex;
    std::string m_deviceId;           // under m_layoutMutex
    int32_t m_fps = 30;               // under m_layoutMutex
    BackgroundEffectConfig m_effect;  // under m_layoutMutex
    CameraOverlayParams m_params;     // under m_layoutMutex
    std::atomic<bool> m_enabled{false};
    std::atomic<int32_t> m_cameraFps{30};  // the rate of the running pipeline's camera

    std::atomic<bool> m_active{false};
    mutable std::mutex m_failureMutex;
    std::string m_setupFailure;  // under m_failureMutex
    std::string m_effectNotice;  // under m_failureMutex
    std::atomic<uint64_t> m_sharedHandle{0};
    std::atomic<bool> m_previewForward{true};
    std::atomic<int64_t> m_lastForwardNs{0};

    mutable std::mutex m_pipelineMutex;
    std::shared_ptr<Pipeline> m_pipeline;  // under m_pipelineMutex
    std::mutex m_cameraMutex;
    std::unique_ptr<CameraCapture> m_camera;  // under m_cameraMutex

    OverlayRebase m_rebase;  // screen thread, reset while no frame is in flight
};

}  // namespace tamro
