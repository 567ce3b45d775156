#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/display/Display.h"

namespace tamro::platform {

class X11Connection;

// The X11 desktop: monitors from RandR (id = the monitor's first output, 0 = primary), windows by
// their X11 id, pixels by MIT-SHM, changes by XDamage (an unchanged screen delivers no frames),
// the cursor composited from XFixes, minimised = WM_STATE Iconic, pid = _NET_WM_PID.
// Threading: any thread; queries share one connection under a lock, each capture session has a
// connection and worker thread of its own.
class X11Display final : public Display {
  public:
    // Null (with one log line) when the display cannot be opened or lacks MIT-SHM; `name` empty
    // means $DISPLAY.
    static std::shared_ptr<X11Display> Open(const std::string& name = "");

    struct Key {
      private:
        Key() = default;
        friend class X11Display;
    };
    X11Display(Key, std::string name, std::unique_ptr<X11Connection> connection);
    ~X11Display() override;

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
    std::optional<WindowInfo> DescribeWindow(unsigned long window);

    const std::string m_name;
    std::mutex m_mutex;  // guards the query connection
    std::unique_ptr<X11Connection> m_connection;
};

}  // namespace tamro::platform
