#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/display/Display.h"

namespace tamro::platform {

// A programmable desktop for tests and the demo: monitors and windows of chosen sizes, content
// painted by a scene function, a chosen content change rate, resizes, minimising, a scripted
// cursor and a close call that hangs for a chosen time.
// Threading: any thread; sessions paint and deliver on a worker thread of their own.
class SyntheticDisplay final : public Display,
                               public std::enable_shared_from_this<SyntheticDisplay> {
  public:
    // Paints the frame of `contentSize` into `texture` for `timeNs` since the session started.
    using Painter = std::function<void(gfx::Texture& texture, FrameSize contentSize, int64_t timeNs,
                                       uint64_t frameIndex)>;

    struct Options {
        std::vector<MonitorInfo> monitors = {{1, 0, 0, 1920, 1080, true, "SYNTH-1"}};
        // Content changes per second; 0 = a still screen (one frame at start only).
        double changeRate = 30.0;
        Painter painter;  // empty = the animated scene
        bool drawCursor = true;
        // Where the cursor is at a time since the display was created; empty = it stays where
        // SetCursor put it. SetCursor ends a path.
        std::function<CursorPosition(int64_t timeNs)> cursorPath;
    };

    static std::shared_ptr<SyntheticDisplay> Create(Options options);
    static std::shared_ptr<SyntheticDisplay> Create() { return Create(Options()); }

    struct Key {
      private:
        Key() = default;
        friend class SyntheticDisplay;
    };
    SyntheticDisplay(Key, Options options);

    // Scripting.
    uint64_t AddWindow(WindowInfo window);
    void ResizeWindow(uint64_t window, uint32_t width, uint32_t height);
    void SetIconic(uint64_t window, bool iconic);
    void RemoveWindow(uint64_t window);
    void SetCursor(CursorPosition position);
    void SetChangeRate(double changesPerSecond);
    void SetCloseDelay(std::chrono::milliseconds delay);
    // Makes the next frame pool or session creation fail with `code` (0 = no failure).
    void FailNextPoolCreation(int32_t code);
    void FailNextSessionStart(int32_t code);

    // Display
    std::vector<MonitorInfo> Monitors() override;
    std::vector<WindowInfo> Windows() override;
    std::optional<MonitorInfo> MonitorNearestWindow(uint64_t window) override;
    bool IsIconic(uint64_t window) override;
    uint32_t WindowProcessId(uint64_t window) override;
    std::optional<CursorPosition> Cursor() override;
    int32_t CreateItemForMonitor(uint64_t monitor, std::unique_ptr<CaptureItem>* item) override;
    int32_t CreateItemForWindow(uint64_t window, std::unique_ptr<CaptureItem>* item) override;
    int32_t CreateFramePool(const std::shared_ptr<gfx::Device>& device, const CaptureItem& item,
                            uint32_t bufferCount, FrameSize size,
                            std::shared_ptr<FramePool>* pool) override;

  private:
    class Item;
    class Session;
    struct WindowState {
        WindowInfo info;
        bool iconic = false;
    };

    // The content size of what `item` shows now; nothing when a window is gone.
    std::optional<FrameSize> ContentSize(const Item& item);
    double ChangeRateNow() const;
    void PaintFrame(const Item& item, gfx::Texture& texture, FrameSize size, int64_t timeNs,
                    uint64_t frameIndex, bool cursor);

    const Options m_options;
    const int64_t m_createdNs;
    mutable std::mutex m_mutex;
    std::map<uint64_t, WindowState> m_windows;
    uint64_t m_nextWindow = 0x400001;
    CursorPosition m_cursor{960, 540};
    bool m_cursorSet = false;
    double m_changeRate;
    std::chrono::milliseconds m_closeDelay{0};
    int32_t m_poolFailure = 0;
    int32_t m_startFailure = 0;
};

}  // namespace tamro::platform
