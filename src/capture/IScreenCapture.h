#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/gfx/GfxTypes.h"

namespace tamro {

// Receives each captured (or cropped) BGRA frame with its timestamp in 100-ns units on the session
// time base. The texture is valid only during the call.
using FrameCallback = std::function<void(gfx::Texture* texture, int64_t timestamp)>;

// Capture of one monitor or window, as the recording session drives it.
// Threading: the session calls these from its control threads; the frame callback runs on the
// capture's own threads from Start until Stop returns.
class IScreenCapture {
  public:
    virtual ~IScreenCapture() = default;

    virtual bool HasDevice() const = 0;
    virtual gfx::Device* GetDevice() const = 0;
    virtual void SetCaptureCursor(bool enabled) = 0;
    virtual bool InitializeForMonitor(uint64_t monitor) = 0;
    virtual bool InitializeForWindow(uint64_t window) = 0;
    virtual uint32_t Width() const = 0;
    virtual uint32_t Height() const = 0;
    // Width or height <= 0 switches cropping off.
    virtual void SetCropRegion(int32_t x, int32_t y, int32_t width, int32_t height) = 0;
    // Switches cropping off and releases the crop texture, under the capture's crop lock.
    virtual void ReleaseCrop() = 0;
    virtual void SetSessionStartTime(int64_t originNs) = 0;
    // Frames per second of the delivered stream, which has one frame in every 1/fps slot of the
    // session's time line; set before Start.
    virtual void SetFrameRate(uint32_t fps) = 0;
    virtual bool Start(FrameCallback callback) = 0;
    virtual std::string LastError() const = 0;
    virtual void SetPaused(bool paused) = 0;
    // Slots filled with a repeat because delivery fell behind, since Start.
    virtual uint64_t LateFrames() const = 0;
    // Why the capture stopped by itself ("the recorded window was closed"); empty while it goes
    // on. Any thread.
    virtual std::string CaptureEnded() const = 0;
    // Idempotent; returns in bounded time even when the platform's close calls hang. No frame is
    // delivered after it returns.
    virtual void Stop() = 0;
};

}  // namespace tamro
