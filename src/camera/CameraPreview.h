#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "camera/BubblePresenter.h"
#include "camera/CameraCapture.h"
#include "camera/CameraShare.h"
#include "camera/ICameraFrameEffect.h"
#include "camera/PreviewReadback.h"
#include "platform/camera/CameraSystem.h"
#include "platform/window/BubbleSurface.h"
#include "tamro/BgraBitmap.h"
#include "tamro/Records.h"

namespace tamro {

// The live camera preview: a camera of its own, its background effect, and delivery either
// straight into the application's bubble window (BubblePresenter) or, without one or after it
// failed, as bitmaps the application draws. It can lend its camera to recordings (CameraShare);
// the share then runs the effect once and the preview shows that same processed frame.
//
// Threading: the control operations from any thread. The camera's delivery thread copies each
// frame into a one-frame mailbox (the newest wins) and a worker thread of this object processes
// it; without the worker's textures the delivery thread processes frames itself. The camera lock
// is held for the whole of a frame's processing, so effect changes, attach, the share and the stop
// bookkeeping never run beside a frame; the worker's lock guards only the mailbox. Bitmaps are
// raised after the camera lock is released, on the frame's thread; a handler may call back into
// the preview, even to stop it.
class CameraPreview {
  public:
    struct Environment {
        // Cameras by device id; empty for the platform's.
        platform::camera::CameraSystemProvider cameras;
        // The background effect for frames of a size on a device; empty: no effect.
        CameraEffectFactory effects;
        // The bubble window's surface; empty for the platform's.
        platform::window::BubbleSurfaceFactory surfaces;
        // Raised with every frame of the readback path.
        std::function<void(std::shared_ptr<BgraBitmap>)> previewFrame;
        // Told after each frame shown in the bubble window, with the frame's arrival and the
        // present's end (clock nanoseconds).
        std::function<void(int64_t arrivedNs, int64_t presentedNs)> presented;
        // Steady clock in nanoseconds; empty for the platform's.
        std::function<int64_t()> clock;
    };

    explicit CameraPreview(Environment environment);
    ~CameraPreview();
    CameraPreview(const CameraPreview&) = delete;
    CameraPreview& operator=(const CameraPreview&) = delete;

    // Blocks until the camera delivers or fails; a rate of 0 or less asks for 30.
    bool Start(const std::string& deviceId, int32_t width, int32_t height, int32_t frameRate,
               const BackgroundEffectConfig& effect);
    void Stop();
    void SetEffect(const BackgroundEffectConfig& effect);
    bool IsRunning() const { return m_active.load(); }
    // Clock nanoseconds of the last frame shown by either path; 0 before the first.
    int64_t FrameTime() const { return m_lastFrameTime.load(); }

    // A window id of 0 detaches. False without attaching when the GPU bubble is switched off or
    // the size is 0.
    bool AttachBubble(uint64_t window, uint32_t width, uint32_t height);
    void SetBubbleAppearance(const BubblePresenter::Appearance& appearance);
    void SetBubbleSize(uint32_t width, uint32_t height);
    bool IsGpuBubbleActive() const;
    bool SingleEffectPreview() const { return m_singleEffect.load(); }

    uint64_t BeginShare();
    void EndShare();
    void SetSharedSessionStartTime(int64_t t) { m_share.SetSessionStart(t); }

  private:
    struct Mailbox;

    bool StartBody(const std::string& deviceId, int32_t width, int32_t height, int32_t frameRate,
                   const BackgroundEffectConfig& effect);
    bool OpenCamera(const std::string& deviceId, int32_t width, int32_t height, int32_t fps);
    void SetUpEffect(const BackgroundEffectConfig& effect);
    void StartWorker();
    void CleanupAfterFailedStart();
    void UpdateShareEffect();

    void OnCameraFrame(gfx::Texture* texture);
    bool PublishShareFrame(gfx::Texture* texture, int64_t timestamp);
    void WorkerLoop(uint64_t generation);
    void ProcessFrame(gfx::Texture* texture, int64_t timestamp, bool skipEffect);
    std::shared_ptr<BgraBitmap> ProcessLocked(gfx::Texture* texture, int64_t timestamp,
                                              bool skipEffect);
    bool PresentToBubble(gfx::Texture* texture, int64_t timestamp, double effectMs);
    void StopWorker(bool onWorker);
    void NoteFrameTime(int64_t timestamp);
    int64_t Now() const;

    Environment m_env;

    // Serialises the start's body and the stop: a stop during a start waits for it to finish.
    std::mutex m_controlMutex;
    mutable std::mutex m_cameraMutex;
    std::unique_ptr<CameraCapture> m_camera;       // under m_cameraMutex
    std::unique_ptr<ICameraFrameEffect> m_effect;  // under m_cameraMutex
    std::unique_ptr<BubblePresenter> m_presenter;  // under m_cameraMutex
    PreviewReadback m_readback;                    // under m_cameraMutex
    CameraShare m_share;                           // under m_cameraMutex
    BackgroundEffectConfig m_shareEffect;          // under m_cameraMutex
    uint32_t m_width = 0;                          // under m_cameraMutex
    uint32_t m_height = 0;                         // under m_cameraMutex
    uint64_t m_frames = 0;                         // under m_cameraMutex
    std::atomic<bool> m_gpuBubbleActive{false};
    std::atomic<bool> m_active{false};
    std::atomic<bool> m_startInProgress{false};
    std::atomic<bool> m_singleEffect{true};
    std::atomic<int64_t> m_lastFrameTime{0};

    std::mutex m_workerMutex;
    std::condition_variable m_workerWake;
    std::shared_ptr<Mailbox> m_mailbox;  // under m_workerMutex
    bool m_workerRunning = false;        // under m_workerMutex
    // Which worker is the current one: a worker left running by a stop from its own frame handler
    // leaves once a new one starts.
    uint64_t m_workerGeneration = 0;  // under m_workerMutex
    std::thread m_worker;             // started and joined by the control threads
    std::atomic<std::thread::id> m_workerId;
};

}  // namespace tamro
