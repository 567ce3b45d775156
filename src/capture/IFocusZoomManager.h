#pragma once

#include <cstdint>
#include <functional>

#include "capture/FocusRect.h"
#include "tamro/Records.h"

namespace tamro {

class IMagnifierManager;

// Called on the manager's tracking thread with the focus window to crop to.
using CropCallback = std::function<void(const FocusRect& rect)>;

// Cursor-following focus zoom, as the recording session drives it.
// Threading: control calls come from the session's threads; the crop callback is called on the
// manager's tracking thread until SetCropCallback({}) or Stop returns.
class IFocusZoomManager {
  public:
    virtual ~IFocusZoomManager() = default;

    virtual void Initialize(int32_t displayX, int32_t displayY, int32_t surfaceWidth,
                            int32_t surfaceHeight, int32_t outputWidth, int32_t outputHeight,
                            const FocusZoomSettings& settings) = 0;
    virtual void SetMagnifier(IMagnifierManager* magnifier) = 0;
    virtual void SetCropCallback(CropCallback callback) = 0;
    virtual void Start() = 0;
    virtual void Stop() = 0;

    // Switches focus on or off; a request within 100 ms of the last one is held and applied by
    // the tracking thread.
    virtual void SetCursorFocusActive(bool active) = 0;
    virtual bool IsFocusActive() const = 0;
    // Starts a zoom pulse at the cursor. False when a pulse runs or the cursor cannot be read.
    virtual bool RequestPulse() = 0;
    // Replaces the four tuning values (the two flags are kept as given).
    virtual void UpdateSettings(const FocusZoomSettings& settings) = 0;

    // Busy flags polled while the session waits for the animations to end.
    virtual bool IsTransitionRunning() const = 0;
    virtual bool IsTogglePending() const = 0;
    virtual bool IsPulseRunning() const = 0;
};

}  // namespace tamro
