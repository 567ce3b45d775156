#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "capture/IFocusZoomManager.h"
#include "platform/display/Display.h"
#include "platform/system/SteadyClock.h"

namespace tamro {

// The cursor in desktop coordinates; nothing when it cannot be read.
using CursorReader = std::function<std::optional<platform::CursorPosition>()>;

// Moves an even-sized crop window after the mouse cursor: animates from the whole display to a
// window around the cursor when focus goes on, follows the cursor with a dead zone and smoothing,
// animates back when focus goes off, and plays short zoom pulses. While an enabled magnifier is
// attached it drives the magnifier instead of the crop.
// Threading: control calls come from the recorder's threads; the animations and the tracking run
// on the tracking thread, which reads and waits for the time on the clock it is given. Both sides
// work under one mutex and call the crop callback with it released. The state is shared with the
// tracking thread, so a manager whose Stop gave up on a thread stuck in a callback can still be
// destroyed: the thread ends once the callback returns.
class FocusZoomManager final : public IFocusZoomManager {
  public:
    explicit FocusZoomManager(
        CursorReader readCursor,
        std::shared_ptr<platform::Clock> clock = std::make_shared<platform::SteadyClock>());
    ~FocusZoomManager() override;

    FocusZoomManager(const FocusZoomManager&) = delete;
    FocusZoomManager& operator=(const FocusZoomManager&) = delete;

    // IFocusZoomManager
    void Initialize(int32_t displayX, int32_t displayY, int32_t surfaceWidth, int32_t surfaceHeight,
                    int32_t outputWidth, int32_t outputHeight,
                    const FocusZoomSettings& settings) override;
    void SetMagnifier(IMagnifierManager* magnifier) override;
    void SetCropCallback(CropCallback callback) override;
    void Start() override;
    void Stop() override;
    void SetCursorFocusActive(bool active) override;
    bool IsFocusActive() const override;
    bool RequestPulse() override;
    void UpdateSettings(const FocusZoomSettings& settings) override;
    bool IsTransitionRunning() const override;
    bool IsTogglePending() const override;
    bool IsPulseRunning() const override;

  private:
    class Core;

    const std::shared_ptr<Core> m_core;
    std::mutex m_threadMutex;  // serialises Start and Stop
    std::thread m_trackingThread;
};

}  // namespace tamro
