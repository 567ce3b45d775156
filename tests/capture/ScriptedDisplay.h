#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "platform/display/QueuedFramePool.h"
#include "platform/display/SyntheticDisplay.h"
#include "tamro/ResultCode.h"

namespace tamro::test {

// The synthetic desktop's monitors and windows, with frames that come only when a test publishes
// them, stamped with the instant the test chooses, so that a capture can run on simulated time.
// Threading: any thread; a published frame reaches the capture on the publishing thread.
class ScriptedDisplay final : public platform::Display {
  public:
    using Painter = std::function<void(gfx::Texture& texture)>;

    explicit ScriptedDisplay(std::shared_ptr<platform::SyntheticDisplay> desktop)
        : m_desktop(std::move(desktop)) {}

    // Paints a frame of the newest pool's size and delivers it as taken at `capturedNs`; false
    // when there is no pool or every buffer is held.
    bool Publish(int64_t capturedNs, const Painter& paint) {
        std::shared_ptr<platform::QueuedFramePool> pool;
        {
            std::lock_guard lock(m_mutex);
            pool = m_pool.lock();
        }
        std::unique_ptr<platform::PoolBuffer> buffer = pool ? pool->AcquireBuffer() : nullptr;
        if (!buffer)
            return false;
        paint(*buffer->Texture());
        const platform::FrameSize size = buffer->Size();
        pool->Publish(std::move(buffer), size, capturedNs);
        return true;
    }

    // The captured item goes away, or the display with it, as the platform would say.
    void End(platform::CaptureEnd why) {
        if (*m_ended)
            (*m_ended)(why);
    }

    std::vector<platform::MonitorInfo> Monitors() override { return m_desktop->Monitors(); }
    std::vector<platform::WindowInfo> Windows() override { return m_desktop->Windows(); }
    std::optional<platform::MonitorInfo> MonitorNearestWindow(uint64_t window) override {
        return m_desktop->MonitorNearestWindow(window);
    }
    bool IsIconic(uint64_t window) override { return m_desktop->IsIconic(window); }
    uint32_t WindowProcessId(uint64_t window) override {
        return m_desktop->WindowProcessId(window);
    }
    std::optional<platform::CursorPosition> Cursor() override { return m_desktop->Cursor(); }
    int32_t CreateItemForMonitor(uint64_t monitor,
                                 std::unique_ptr<platform::CaptureItem>* item) override {
        return m_desktop->CreateItemForMonitor(monitor, item);
    }
    int32_t CreateItemForWindow(uint64_t window,
                                std::unique_ptr<platform::CaptureItem>* item) override {
        return m_desktop->CreateItemForWindow(window, item);
    }
    int32_t CreateFramePool(const std::shared_ptr<gfx::Device>& device,
                            const platform::CaptureItem&, uint32_t bufferCount,
                            platform::FrameSize size,
                            std::shared_ptr<platform::FramePool>* pool) override {
        auto buffers = [device](platform::FrameSize bufferSize) {
            gfx::TextureDesc desc;
            desc.width = bufferSize.width;
            desc.height = bufferSize.height;
            desc.bindFlags = gfx::kBindShaderResource;
            std::shared_ptr<gfx::Texture> texture;
            device->CreateTexture(desc, nullptr, 0, &texture);
            return texture ? std::make_unique<platform::PoolBuffer>(std::move(texture)) : nullptr;
        };
        auto sessions = [ended = m_ended](const platform::CaptureItem&, platform::QueuedFramePool&,
                                          std::unique_ptr<platform::CaptureSession>* session) {
            *session = std::make_unique<IdleSession>(ended);
            return kOk;
        };
        auto queued =
            std::make_shared<platform::QueuedFramePool>(bufferCount, size, buffers, sessions);
        std::lock_guard lock(m_mutex);
        m_pool = queued;
        *pool = std::move(queued);
        return kOk;
    }

  private:
    // Takes no pictures of its own.
    class IdleSession final : public platform::CaptureSession {
      public:
        explicit IdleSession(std::shared_ptr<std::function<void(platform::CaptureEnd)>> ended)
            : m_ended(std::move(ended)) {}
        void SetEndedHandler(std::function<void(platform::CaptureEnd)> handler) override {
            *m_ended = std::move(handler);
        }
        int32_t SetCursorCaptureEnabled(bool) override { return kOk; }
        int32_t SetBorderRequired(bool) override { return kOk; }
        int32_t StartCapture() override { return kOk; }
        void Close() override {}

      private:
        std::shared_ptr<std::function<void(platform::CaptureEnd)>> m_ended;
    };

    const std::shared_ptr<platform::SyntheticDisplay> m_desktop;
    // The newest session's handler for its end.
    const std::shared_ptr<std::function<void(platform::CaptureEnd)>> m_ended =
        std::make_shared<std::function<void(platform::CaptureEnd)>>();
    std::mutex m_mutex;
    std::weak_ptr<platform::QueuedFramePool> m_pool;
};

}  // namespace tamro::test
