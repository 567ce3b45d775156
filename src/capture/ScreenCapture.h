#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "capture/FrameSlots.h"
#include "capture/IScreenCapture.h"
#include "platform/display/Display.h"
#include "platform/gfx/Device.h"
#include "platform/system/CallGate.h"
#include "platform/system/SteadyClock.h"

namespace tamro {

struct CropBox {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
    bool operator==(const CropBox&) const = default;
};

// Captures one monitor or window into BGRA textures on a device of its own and delivers a
// constant-rate stream: one frame for every 1/fps slot of the session's time line, stamped with
// the slot's time. Each slot shows the newest picture taken by the slot's instant (half a slot
// later at most), or repeats the one before when nothing new came; a minimised window shows
// black. Frames are taken on the display backend's thread and only kept there; the pacer thread
// delivers them, so a slow consumer delays neither the capture nor the time a picture carries.
// Threading: Start, Stop, SetPaused, SetFrameRate and SetCropRegion come from the recorder's
// threads (Start and Stop are serialised); frames arrive on the display backend's worker thread;
// the pacer thread calls the frame callback, never two calls at once. Destruction waits for a
// pacer whose join Stop abandoned and for frame handlers still running, so the object is never
// freed under them.
class ScreenCapture final : public IScreenCapture {
  public:
    using DeviceCreator =
        std::function<std::shared_ptr<gfx::Device>(gfx::DriverType type, int32_t* result)>;

    // `clock` times the slots; it must read the time base of the display's capture times.
    explicit ScreenCapture(
        std::shared_ptr<platform::Display> display,
        DeviceCreator createDevice = &gfx::Device::Create,
        std::shared_ptr<platform::Clock> clock = std::make_shared<platform::SteadyClock>());
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
    void SetFrameRate(uint32_t fps) override;
    bool Start(FrameCallback callback) override;
    std::string LastError() const override;
    void SetPaused(bool paused) override;
    uint64_t LateFrames() const override { return m_lateFrames.load(); }
    std::string CaptureEnded() const override;
    void Stop() override;

    const std::shared_ptr<gfx::Device>& SharedDevice() const { return m_device; }
    std::optional<CropBox> CurrentCrop() const;

    // The clamping rule: nothing when the clamped region is smaller than the minimum.
    static std::optional<CropBox> ClampCrop(int32_t x, int32_t y, int32_t width, int32_t height,
                                            uint32_t sourceWidth, uint32_t sourceHeight);

    // A picture taken, and when.
    struct TakenFrame {
        std::shared_ptr<gfx::Texture> texture;
        int64_t capturedNs = 0;
        uint64_t serial = 0;  // 0: none
    };
    // The picture for a slot that closes at `closeNs`: the newest of `recent` (oldest first)
    // taken by then, else the one shown last, else the oldest (the first pictures of a session
    // stand for the moments before them).
    static const TakenFrame* PictureForSlot(const std::deque<TakenFrame>& recent,
                                            const TakenFrame& shownLast, int64_t closeNs);

    // A pacer that fell further behind than this skips the missing time instead of filling it.
    static constexpr int64_t kMaxCatchUpNs = 5'000'000'000;

  private:
    using SharedCallback = std::shared_ptr<const FrameCallback>;

    void CreateDevice();
    bool StartPhases();
    void CreateFramePoolAhead();
    void OnFrameArrived(platform::FramePool& pool);
    // The crop of `frame` as a view of its pixels, or `frame` itself when there is no crop;
    // `applied` is the crop used, empty for none.
    std::shared_ptr<gfx::Texture> ApplyCrop(std::shared_ptr<gfx::Texture> frame, CropBox* applied);
    uint64_t ContentIdOf(uint64_t serial, const CropBox& crop);
    // Calls the callback; false when nothing was emitted.
    bool EmitFrame(gfx::Texture* texture, int64_t timestamp);
    // `run` tells this pacer from one started after a Stop that abandoned it.
    void FramePacerThread(uint64_t run);
    // Waits until the next slot closes with a picture to show; false when the pacer is to end.
    bool AwaitSlot(std::unique_lock<std::mutex>& lock, uint64_t run);
    // True when something was delivered.
    bool FillSlot(int64_t timestamp, const TakenFrame& picture, bool repeat);
    void LogPacerStatistics();
    bool EnsureBlackTexture();
    bool ShowsMinimisedWindow();
    void WaitForPacer();
    void CloseSessionBounded();

    const std::shared_ptr<platform::Display> m_display;
    const DeviceCreator m_createDevice;
    const std::shared_ptr<platform::Clock> m_clock;

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

    // The callback is replaced under its own lock so that Stop never waits for an emission in
    // progress; the pacer calls a snapshot, which stays valid until it returns.
    mutable std::mutex m_callbackMutex;
    SharedCallback m_frameCallback;

    std::atomic<int64_t> m_presetStartNs{0};
    std::atomic<bool> m_hasPresetStart{false};

    // The pacer's state: the time line, the newest pictures (oldest first) and the one shown
    // last. The pictures hold their pool buffers, which are not reused meanwhile.
    std::mutex m_pacerMutex;
    std::condition_variable_any m_pacerWake;
    FrameSlots m_slots;
    std::deque<TakenFrame> m_recent;
    uint64_t m_framesTaken = 0;
    TakenFrame m_shownLast;
    uint64_t m_pacerRun = 0;

    std::shared_ptr<gfx::Texture> m_blackTexture;  // pacer thread and Stop only
    // What the pacer delivered last, as an id that changes with the picture or the crop.
    uint64_t m_contentSerial = 0;  // pacer thread only
    CropBox m_contentCrop;
    uint64_t m_contentId = 0;

    std::atomic<uint32_t> m_realFrames{0};
    std::atomic<uint32_t> m_pacedFrames{0};
    std::atomic<uint32_t> m_emitSumMs{0};
    std::atomic<uint32_t> m_emitMaxMs{0};
    std::atomic<uint64_t> m_lateFrames{0};
    // Why the session stopped delivering by itself; shared with its handler, which an abandoned
    // session may still call.
    static constexpr int kStillCapturing = 0;  // indexes of the texts CaptureEnded says
    static constexpr int kWindowClosed = 1;
    static constexpr int kDisplayLost = 2;
    std::shared_ptr<std::atomic<int>> m_ended = std::make_shared<std::atomic<int>>(kStillCapturing);

    std::thread m_pacerThread;
    std::atomic<bool> m_pacerRunning{false};
    std::mutex m_stateMutex;

    // Lifetime guards: frame handlers the backend may still be running, and a pacer whose join
    // Stop abandoned.
    std::shared_ptr<platform::CallGate> m_handlerGate = std::make_shared<platform::CallGate>();
    std::mutex m_lifetimeMutex;
    std::condition_variable m_pacerExited;
    int m_pacersAlive = 0;
};

}  // namespace tamro
