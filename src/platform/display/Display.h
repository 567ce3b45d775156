#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/gfx/Device.h"

namespace tamro::platform {

struct MonitorInfo {
    uint64_t id = 0;
    int32_t x = 0;
    int32_t y = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    bool primary = false;
    std::string name;
};

struct WindowInfo {
    uint64_t id = 0;
    std::string title;
    uint32_t processId = 0;
    int32_t x = 0;
    int32_t y = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

struct FrameSize {
    uint32_t width = 0;
    uint32_t height = 0;
    bool operator==(const FrameSize&) const = default;
};

struct CursorPosition {
    int32_t x = 0;
    int32_t y = 0;
};

// What is captured: a monitor or a window, with the size its frames start at.
class CaptureItem {
  public:
    virtual ~CaptureItem() = default;
    virtual FrameSize Size() const = 0;
};

// One captured frame, holding one of its pool's buffers until it is destroyed (the close).
class CaptureFrame {
  public:
    virtual ~CaptureFrame() = default;
    // Size of the content, which differs from the surface after a resize until the pool is
    // recreated at the new size.
    virtual FrameSize ContentSize() const = 0;
    // BGRA texture of the pool's size, on the pool's device.
    virtual gfx::Texture* Surface() const = 0;
    // Steady-clock instant the pixels were taken: the frame shows the screen of that moment,
    // however late it is handled.
    virtual int64_t CaptureTimeNs() const = 0;
};

// Why a capture session stopped delivering before it was closed.
enum class CaptureEnd { kItemClosed, kConnectionLost };

class CaptureSession {
  public:
    virtual ~CaptureSession() = default;
    // Before StartCapture; called at most once, on the session's thread, when the captured item
    // goes away or the connection to the display dies.
    virtual void SetEndedHandler(std::function<void(CaptureEnd)> handler) = 0;
    virtual int32_t SetCursorCaptureEnabled(bool enabled) = 0;
    virtual int32_t SetBorderRequired(bool required) = 0;
    virtual int32_t StartCapture() = 0;
    // May block for as long as the platform takes; callers bound it themselves.
    virtual void Close() = 0;
};

// Buffers captured frames; the arrival handler runs on a thread of the backend.
// Threading: TryGetNextFrame and frames' destruction from any thread; SetFrameArrived before
// StartCapture and after the session is closed.
class FramePool {
  public:
    virtual ~FramePool() = default;
    virtual int32_t Recreate(FrameSize size) = 0;
    virtual void SetFrameArrived(std::function<void()> handler) = 0;
    virtual std::unique_ptr<CaptureFrame> TryGetNextFrame() = 0;
    virtual int32_t CreateCaptureSession(const CaptureItem& item,
                                         std::unique_ptr<CaptureSession>* session) = 0;
    virtual void Close() = 0;
};

// A desktop: its monitors and windows and the capture of either.
// Threading: any thread.
class Display {
  public:
    virtual ~Display() = default;

    virtual std::vector<MonitorInfo> Monitors() = 0;
    virtual std::vector<WindowInfo> Windows() = 0;
    // `id` 0 is the primary monitor.
    std::optional<MonitorInfo> FindMonitor(uint64_t id);
    // The monitor that holds the window's centre, else the one nearest to it.
    virtual std::optional<MonitorInfo> MonitorNearestWindow(uint64_t window) = 0;
    virtual bool IsIconic(uint64_t window) = 0;
    virtual uint32_t WindowProcessId(uint64_t window) = 0;
    virtual std::optional<CursorPosition> Cursor() = 0;

    virtual int32_t CreateItemForMonitor(uint64_t monitor, std::unique_ptr<CaptureItem>* item) = 0;
    virtual int32_t CreateItemForWindow(uint64_t window, std::unique_ptr<CaptureItem>* item) = 0;
    virtual int32_t CreateFramePool(const std::shared_ptr<gfx::Device>& device,
                                    const CaptureItem& item, uint32_t bufferCount, FrameSize size,
                                    std::shared_ptr<FramePool>* pool) = 0;
};

// The monitor of `monitors` nearest to the centre of `window` (0 distance when inside).
std::optional<MonitorInfo> NearestMonitor(const std::vector<MonitorInfo>& monitors,
                                          const WindowInfo& window);

}  // namespace tamro::platform
