#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "capture/IScreenCapture.h"
#include "platform/display/Display.h"
#include "platform/gfx/Device.h"
#include "platform/system/CallGate.h"

namespace tamro {

struct CropBox {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
    bool operator==(const CropBox&) const = default;
};

// Captures one monitor or window into BGRA textures on a device of its own, keeps the newest frame
// so the pacer can repeat it while the screen is idle, applies the crop region, and stops within
// bounded time even when the platform's close calls hang.
// Threading: Start, Stop, SetPaused and SetCropRegion come from the recorder's threads (Start and
// Stop are serialised); frames arrive on the display backend's worker thread and the pacer is a
// thread of this object. The frame callback is never called by two threads at once. Destruction
// waits for a pacer whose join Stop abandoned and for frame handlers still running, so the object
// is never freed under them.
class ScreenCapture final : public IScreenCapture {
  public:
    using DeviceCreator =
        std::function<std::shared_ptr<gfx::Device>(gfx::DriverType type, int32_t* result)>;

    explicit ScreenCapture(std::shared_ptr<platform::Display> display,
                           DeviceCreator createDevice = &gfx::Device::Create);
    ~ScreenCapture() override;

    ScreenCapture(const ScreenCapture&) = delete;
    ScreenCapture& operator=(const ScreenCapture&) = delete;

    // IScreenCapture
    bool HasDevice() const override;
    gfx::Device* GetDevice() const override { return m_device.get(); }
    void SetCaptureCursor(bool enabled) override { m_captureCursor = enabled; }
    bool InitializeForMonitor(uint64_t monitor) override;
    bool InitializeForWindow(uint64_t window) override;
    uint32_t Width() const override { return m_poolWidth.load(); }
    uint32_t Height() const override { return m_poolHeight.load(); }
    void SetCropRegion(int32_t x, int32_t y, int32_t width, int32_t height) override;
    void ReleaseCrop() override;
    void SetSessionStartTime(int64_t originNs) override;
    bool Start(FrameCallback callback) override;
    std::string LastError() const override;
    void SetPaused(bool paused) override { m_isPaused = paused; }
    void Stop() override;

    const std::shared_ptr<gfx::Device>& SharedDevice() const { return m_device; }
    std::optional<CropBox> CurrentCrop() const;

    // The clamping rule: nothing when the clamped region is smaller than the minimum.
    static std::optional<CropBox> ClampCrop(int32_t x, int32_t y, int32_t width, int32_t height,
                                            uint32_t sourceWidth, uint32_t sourceHeight);
    // Timestamp (100-ns units) of a frame emitted at `nowNs`: strictly after `lastTimestamp`.
    static int64_t EmissionTimestamp(int64_t nowNs, int64_t startNs, int64_t lastTimestamp);
    // The pacer's next deadline after one that fired at `deadlineNs`, seen at `nowNs`: a deadline
    // that fell far behind (a stall) restarts from now instead of firing catch-up ticks.
    static int64_t NextPacerDeadline(int64_t deadlineNs, int64_t nowNs);

    // One frame time at 30 fps exactly: a 33 ms period would repeat 30.3 frames a second.
    static constexpr int64_t kPacerPeriodNs = 1'000'000'000 / 30;
    static constexpr int64_t kResyncLagNs = 99'000'000;
    static constexpr int64_t kRepeatThresholdNs = 32'000'000;
    static constexpr int64_t kRealFrameThresholdNs = 31'000'000;

  private:
    using SharedCallback = std::shared_ptr<const FrameCallback>;

    void CreateDevice();
    bool StartPhases();
    void CreateFramePoolAhead();
    void OnFrameArrived(platform::FramePool& pool);
    // The crop of `frame` as a view of its pixels, or `frame` itself when there is no crop.
    std::shared_ptr<gfx::Texture> ApplyCrop(std::shared_ptr<gfx::Texture> frame);
    // The newest frame, both as captured and as delivered with the crop of `cropGeneration`.
    void RefreshLastFrame(std::shared_ptr<gfx::Texture> captured,
                          std::shared_ptr<gfx::Texture> delivered, uint64_t cropGeneration,
                          int64_t arrivedNs);
    // The frame for the pacer to repeat, cropped afresh when the crop changed since it came.
    std::shared_ptr<gfx::Texture> FrameToRepeat(int64_t* freshArrivalNs);
    // The newest frame went out: a later repeat of it is stamped with the time it goes out.
    void MarkLastFrameEmitted(int64_t arrivedNs);
    // Calls the callback under emitMutex; false when nothing was emitted.
    bool EmitFrame(gfx::Texture* texture, int64_t nowNs, int64_t* timestamp);
    void FramePacerThread();
    void PacerTick(bool* engaged);
    void EmitBlackFrame();
    // A pacer emission under emitMutex, when the repeat threshold has passed.
    // `arrivedNs`: when the frame's content was captured, for a frame not yet emitted; 0 stamps
    // the emission with its own time.
    bool EmitRepeat(gfx::Texture* texture, int64_t arrivedNs, uint32_t* tookMs);
    void LogPacerStatistics();
    bool EnsureBlackTexture();
    void WaitForPacer();
    void CloseSessionBounded();

    const std::shared_ptr<platform::Display> m_display;
    const DeviceCreator m_createDevice;

    std::shared_ptr<gfx::Device> m_device;
    gfx::DeviceContext* m_context = nullptr;
    std::unique_ptr<platform::CaptureItem> m_item;
    std::shared_ptr<platform::FramePool> m_framePool;
    platform::FrameSize m_framePoolSize;
    std::unique_ptr<platform::CaptureSession> m_session;

    std::atomic<bool> m_isCapturing{false};
    std::atomic<bool> m_isPaused{false};
    std::atomic<uint32_t> m_poolWidth{0};
    std::atomic<uint32_t> m_poolHeight{0};
    uint32_t m_sourceWidth = 0;
    uint32_t m_sourceHeight = 0;
    std::atomic<bool> m_captureCursor{true};
    mutable std::mutex m_lastErrorMutex;
    std::string m_lastError;
    std::atomic<uint64_t> m_windowHandle{0};

    mutable std::mutex m_cropMutex;
    CropBox m_crop;
    bool m_cropActive = false;
    std::atomic<uint64_t> m_cropGeneration{0};  // counts changes of the crop

    // The callback is replaced under its own lock so that Stop never waits for an emission in
    // progress; emitters call a snapshot, which stays valid until they return.
    mutable std::mutex m_callbackMutex;
    SharedCallback m_frameCallback;

    std::atomic<int64_t> m_startTimeNs{0};
    std::atomic<int64_t> m_lastEmitNs{0};
    std::atomic<int64_t> m_presetStartNs{0};
    std::atomic<bool> m_hasPresetStart{false};

    std::shared_ptr<gfx::Texture> m_blackTexture;  // pacer thread and Stop only
    // The newest frame, held by reference rather than copied: its pool buffer or crop texture is
    // not reused while it is held here or by a repeat in progress.
    std::mutex m_lastFrameMutex;
    std::shared_ptr<gfx::Texture> m_lastFrame;
    std::shared_ptr<gfx::Texture> m_lastCaptured;
    uint64_t m_lastFrameCropGeneration = 0;
    int64_t m_lastFrameArrivedNs = 0;
    bool m_lastFrameFresh = false;  // not emitted yet
    std::mutex m_emitMutex;
    int64_t m_lastTimestamp = 0;  // under m_emitMutex

    std::atomic<uint32_t> m_realFrames{0};
    std::atomic<uint32_t> m_pacedFrames{0};
    std::atomic<uint32_t> m_emitSumMs{0};
    std::atomic<uint32_t> m_emitMaxMs{0};

    std::thread m_pacerThread;
    std::atomic<bool> m_pacerRunning{false};
    std::mutex m_stateMutex;

    // Lifetime guards: frame handlers the backend may still be running, and a pacer whose join
    // Stop abandoned.
    std::shared_ptr<platform::CallGate> m_handlerGate = std::make_shared<platform::CallGate>();
    std::mutex m_lifetimeMutex;
    std::condition_variable m_pacerExited;
    bool m_pacerAlive = false;
};

}  // namespace tamro
