#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/camera/CameraSystem.h"
#include "platform/gfx/Device.h"
#include "platform/system/CallGate.h"
#include "platform/system/Clock.h"
#include "tamro/AsyncOperation.h"

namespace tamro {

// Called with the frame texture (the same object every call, overwritten by the next frame) and
// the frame's time in 100-ns units since the start time; the callee copies what it needs before
// returning.
using CameraFrameCallback = std::function<void(gfx::Texture* texture, int64_t timestamp)>;
// Told with the reason when the camera stops delivering by itself (it was unplugged).
using CameraEndedCallback = std::function<void(const std::string& reason)>;

// How well a camera format fits the request: -1 without a video description, else a size term
// (up to 1000), a subtype term (up to 100) and a frame-rate term (up to 100).
int32_t ScoreFormat(const platform::camera::FrameFormat& format, uint32_t width, uint32_t height,
                    uint32_t fps);
// The index of the best-scoring format; the earlier of equal scores. Empty when none scores.
std::optional<size_t> ChooseFormat(const std::vector<platform::camera::FrameFormat>& formats,
                                   uint32_t width, uint32_t height, uint32_t fps);

// What a camera takes from its surroundings; tests replace parts of it.
struct CameraCaptureEnvironment {
    using DeviceCreator =
        std::function<std::shared_ptr<gfx::Device>(gfx::DriverType type, int32_t* result)>;

    DeviceCreator createDevice = &gfx::Device::Create;
    // Null: the steady clock.
    std::shared_ptr<platform::Clock> clock;
    // How long Stop waits for the reader to stop before abandoning it.
    std::chrono::milliseconds readerStopLimit{10'000};
};

// One webcam delivering BGRA frames into a texture on a device of its own.
//
// Threading: Initialize, the setters, the start operations and Stop are called by the owner (the
// asynchronous starts run their body on the operation's thread). The frame callback runs on the
// reader's thread, one frame at a time, without the camera's lock held, and never after Stop
// returns unless Stop gave up waiting for the device (10 s). SetSessionStartTime may be called
// from any thread while frames arrive. Start bodies, StartCapturing and Stop are serialised by
// one lock; the frame handler takes only the short lock around the callback, so a frame that
// arrives during Stop never holds up the reader's own stop. The destructor waits for a start
// body still running and for frame handlers inside, and turns later ones away.
class CameraCapture {
  public:
    // `cameras` chooses the camera system for a device id; empty is the platform's.
    explicit CameraCapture(platform::camera::CameraSystemProvider cameras = {});
    CameraCapture(platform::camera::CameraSystemProvider cameras,
                  CameraCaptureEnvironment environment);
    ~CameraCapture();
    CameraCapture(const CameraCapture&) = delete;
    CameraCapture& operator=(const CameraCapture&) = delete;

    bool Initialize(const std::string& deviceId, uint32_t width, uint32_t height, uint32_t fps);
    void SetNegotiateFormat(bool negotiate);
    void SetBufferedAcquisition(bool buffered);
    // Steady-clock nanoseconds; frames from the next one on count from this origin.
    void SetSessionStartTime(int64_t originNs);
    // Runs on the reader's thread, at most once per start, when the camera goes away; it hands
    // the news on rather than stopping or destroying the camera itself.
    void SetStreamEndedCallback(CameraEndedCallback callback);

    // Both complete on a thread of their own; the result is what the start body returned.
    std::shared_ptr<AsyncOperation<bool>> StartAsync(CameraFrameCallback callback);
    std::shared_ptr<AsyncOperation<bool>> InitializeMediaCaptureWithCallbackAsync(
        CameraFrameCallback callback);
    bool StartCapturing();
    void Stop();

    gfx::Device* GetDevice() const;
    uint32_t Width() const;
    uint32_t Height() const;
    bool IsCapturing() const { return m_isCapturing.load(); }
    // Why the last start failed, in a few words for the user that follow the camera's name
    // ("was not found"); empty
    // after a start that succeeded. The owner's thread, after the start completed.
    std::string StartFailure() const;

  private:
    enum class StartStyle { kFull, kPrepare };

    bool CreateDevice();
    bool EnsureFrameTexture();

    bool RunStartBody(StartStyle style);
    void SetStartFailure(std::string reason);
    bool StartBody(StartStyle style);
    // False only when the frame texture cannot follow the chosen format.
    bool NegotiateFormat(platform::camera::FrameSource& source);
    void AdoptCurrentFormat(platform::camera::FrameSource& source);
    std::shared_ptr<platform::camera::FrameReader> CreateReader(
        platform::camera::FrameSource& source);
    platform::camera::ReaderStartStatus StartReader();
    void ResetStartTime();

    void OnFrameArrived(const platform::camera::Frame& frame);
    void OnStreamEnded(const std::string& reason);
    bool CopyFrameToTexture(const platform::camera::Frame& frame);
    bool CopySoftwareBitmapToTexture(const platform::camera::Frame& frame);

    // With m_mutex held.
    void StopReader();
    void CloseSession();
    // Runs `action` on a task of its own and waits at most the reader-stop limit; on time-out
    // the task keeps what it captured and the wait is abandoned. Rethrows the action's failure.
    void BlockOnAsyncAction(std::function<void()> action);

    const platform::camera::CameraSystemProvider m_cameras;
    const CameraCaptureEnvironment::DeviceCreator m_createDevice;
    const std::shared_ptr<platform::Clock> m_clock;
    const std::chrono::milliseconds m_readerStopLimit;
    // Frame, stream-end and start-body calls pass through it; the destructor closes it.
    const std::shared_ptr<platform::CallGate> m_gate = std::make_shared<platform::CallGate>();

    // Created by Initialize on the owner's thread. The frame texture is replaced on the reader's
    // thread when the frame size changes, and read there and by the start bodies, which run
    // before the reader starts.
    std::shared_ptr<gfx::Device> m_device;
    gfx::DeviceContext* m_context = nullptr;
    std::shared_ptr<gfx::Texture> m_frameTexture;

    // The request; the setters run before Initialize, the start bodies after it.
    std::string m_deviceId;
    uint32_t m_fps = 30;
    bool m_negotiateFormat = true;
    bool m_bufferedAcquisition = false;
    std::atomic<uint32_t> m_width{0};
    std::atomic<uint32_t> m_height{0};

    std::atomic<bool> m_isCapturing{false};
    std::atomic<bool> m_isInitialized{false};
    std::atomic<bool> m_isPrepared{false};
    std::string m_startFailure;  // under m_mutex

    std::atomic<int64_t> m_startTimeNs{0};
    std::atomic<int64_t> m_presetStartNs{0};
    std::atomic<bool> m_hasPresetStart{false};

    // Serialises the start bodies, StartCapturing and Stop over the camera's handles.
    mutable std::mutex m_mutex;
    std::shared_ptr<platform::camera::CameraSystem> m_cameraSystem;  // under m_mutex
    // Shared with an abandoned stop, which may still use them.
    std::shared_ptr<platform::camera::CaptureSession> m_session;   // under m_mutex
    std::shared_ptr<platform::camera::FrameReader> m_frameReader;  // under m_mutex
    // Frames and stream ends of any other reader are ignored: raised when a reader is created
    // and when it is stopped, as an unsubscription would.
    std::atomic<uint64_t> m_readerGeneration{0};
    std::atomic<bool> m_streamEnded{false};

    std::mutex m_callbackMutex;
    CameraFrameCallback m_frameCallback;        // under m_callbackMutex
    CameraEndedCallback m_streamEndedCallback;  // under m_callbackMutex
};

}  // namespace tamro
