#include "platform/display/SyntheticDisplay.h"

#include <condition_variable>
#include <thread>
#include <utility>

#include "platform/display/QueuedFramePool.h"
#include "platform/display/SyntheticScene.h"
#include "platform/system/SteadyClock.h"
#include "tamro/ResultCode.h"

namespace tamro::platform {

namespace {

constexpr int32_t kInvalidWindowHandle = static_cast<int32_t>(0x80070578);

}  // namespace

class SyntheticDisplay::Item final : public CaptureItem {
  public:
    Item(uint64_t monitor, uint64_t window, FrameSize size)
        : monitor(monitor), window(window), size(size) {}
    FrameSize Size() const override { return size; }

    const uint64_t monitor;
    const uint64_t window;
    const FrameSize size;
};

// Paints and delivers frames at the display's change rate on its own thread.
class SyntheticDisplay::Session final : public CaptureSession {
  public:
    Session(std::shared_ptr<SyntheticDisplay> display, const Item& item,
            std::shared_ptr<QueuedFramePool> pool)
        : m_display(std::move(display)), m_item(item), m_pool(std::move(pool)) {}
    ~Session() override { StopWorker(); }

    int32_t SetCursorCaptureEnabled(bool enabled) override {
        m_cursor = enabled;
        return kOk;
    }
    int32_t SetBorderRequired(bool) override { return kOk; }
    // The synthetic items never go away.
    void SetEndedHandler(std::function<void(CaptureEnd)>) override {}
    int32_t StartCapture() override {
        {
            std::lock_guard lock(m_display->m_mutex);
            if (const int32_t failure = std::exchange(m_display->m_startFailure, 0))
                return failure;
        }
        std::lock_guard lock(m_mutex);
        if (m_worker.joinable())
            return kFail;
        m_worker = std::thread([this] { Run(); });
        return kOk;
    }
    void Close() override {
        std::chrono::milliseconds delay;
        {
            std::lock_guard lock(m_display->m_mutex);
            delay = m_display->m_closeDelay;
        }
        if (delay.count() > 0)
            std::this_thread::sleep_for(delay);
        StopWorker();
    }

  private:
    void StopWorker() {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
            m_wake.notify_all();
        }
        if (m_worker.joinable())
            m_worker.join();
    }

    void Run() {
        const int64_t startNs = SteadyClockNs();
        uint64_t frameIndex = 0;
        std::unique_lock lock(m_mutex);
        while (!m_stopping) {
            lock.unlock();
            const bool delivered = DeliverOne(SteadyClockNs() - startNs, frameIndex);
            if (delivered)
                ++frameIndex;
            const double rate = m_display->ChangeRateNow();
            lock.lock();
            if (rate <= 0.0 && delivered) {
                // A still screen: nothing more until the rate changes or the session ends.
                m_wake.wait_for(lock, std::chrono::milliseconds(50), [&] { return m_stopping; });
                while (!m_stopping && m_display->ChangeRateNow() <= 0.0) {
                    m_wake.wait_for(lock, std::chrono::milliseconds(50),
                                    [&] { return m_stopping; });
                }
                continue;
            }
            const auto period =
                std::chrono::nanoseconds(static_cast<int64_t>(1e9 / (rate > 0.0 ? rate : 60.0)));
            m_wake.wait_for(lock, period, [&] { return m_stopping; });
        }
    }

    bool DeliverOne(int64_t timeNs, uint64_t frameIndex) {
        const std::optional<FrameSize> content = m_display->ContentSize(m_item);
        if (!content || (m_item.window && m_display->IsIconic(m_item.window)))
            return false;
        std::unique_ptr<PoolBuffer> buffer = m_pool->AcquireBuffer();
        if (!buffer)
            return false;
        const int64_t capturedNs = SteadyClockNs();
        m_display->PaintFrame(m_item, *buffer->Texture(), *content, timeNs, frameIndex, m_cursor);
        m_pool->Publish(std::move(buffer), *content, capturedNs);
        return true;
    }

    const std::shared_ptr<SyntheticDisplay> m_display;
    const Item m_item;
    const std::shared_ptr<QueuedFramePool> m_pool;
    std::atomic<bool> m_cursor{true};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_worker;
};

std::shared_ptr<SyntheticDisplay> SyntheticDisplay::Create(Options options) {
    return std::make_shared<SyntheticDisplay>(Key(), std::move(options));
}

SyntheticDisplay::SyntheticDisplay(Key, Options options)
    : m_options(std::move(options)),
      m_createdNs(SteadyClockNs()),
      m_changeRate(m_options.changeRate) {}

uint64_t SyntheticDisplay::AddWindow(WindowInfo window) {
    std::lock_guard lock(m_mutex);
    if (window.id == 0)
        window.id = m_nextWindow++;
    m_windows[window.id] = WindowState{window, false};
    return window.id;
}

void SyntheticDisplay::ResizeWindow(uint64_t window, uint32_t width, uint32_t height) {
    std::lock_guard lock(m_mutex);
    if (auto it = m_windows.find(window); it != m_windows.end()) {
        it->second.info.width = width;
        it->second.info.height = height;
    }
}

void SyntheticDisplay::SetIconic(uint64_t window, bool iconic) {
    std::lock_guard lock(m_mutex);
    if (auto it = m_windows.find(window); it != m_windows.end())
        it->second.iconic = iconic;
}

void SyntheticDisplay::RemoveWindow(uint64_t window) {
    std::lock_guard lock(m_mutex);
    m_windows.erase(window);
}

void SyntheticDisplay::SetCursor(CursorPosition position) {
    std::lock_guard lock(m_mutex);
    m_cursor = position;
    m_cursorSet = true;
}

void SyntheticDisplay::SetChangeRate(double changesPerSecond) {
    std::lock_guard lock(m_mutex);
    m_changeRate = changesPerSecond;
}

double SyntheticDisplay::ChangeRateNow() const {
    std::lock_guard lock(m_mutex);
    return m_changeRate;
}

void SyntheticDisplay::SetCloseDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(m_mutex);
    m_closeDelay = delay;
}

void SyntheticDisplay::FailNextPoolCreation(int32_t code) {
    std::lock_guard lock(m_mutex);
    m_poolFailure = code;
}

void SyntheticDisplay::FailNextSessionStart(int32_t code) {
    std::lock_guard lock(m_mutex);
    m_startFailure = code;
}

std::vector<MonitorInfo> SyntheticDisplay::Monitors() {
    return m_options.monitors;
}

std::vector<WindowInfo> SyntheticDisplay::Windows() {
    std::lock_guard lock(m_mutex);
    std::vector<WindowInfo> windows;
    for (const auto& [id, state] : m_windows)
        windows.push_back(state.info);
    return windows;
}

std::optional<MonitorInfo> SyntheticDisplay::MonitorNearestWindow(uint64_t window) {
    std::optional<WindowInfo> info;
    {
        std::lock_guard lock(m_mutex);
        if (auto it = m_windows.find(window); it != m_windows.end())
            info = it->second.info;
    }
    if (!info)
        return std::nullopt;
    return NearestMonitor(m_options.monitors, *info);
}

bool SyntheticDisplay::IsIconic(uint64_t window) {
    std::lock_guard lock(m_mutex);
    auto it = m_windows.find(window);
    return it != m_windows.end() && it->second.iconic;
}

uint32_t SyntheticDisplay::WindowProcessId(uint64_t window) {
    std::lock_guard lock(m_mutex);
    auto it = m_windows.find(window);
    return it == m_windows.end() ? 0 : it->second.info.processId;
}

std::optional<CursorPosition> SyntheticDisplay::Cursor() {
    std::lock_guard lock(m_mutex);
    if (m_options.cursorPath && !m_cursorSet)
        return m_options.cursorPath(SteadyClockNs() - m_createdNs);
    return m_cursor;
}

int32_t SyntheticDisplay::CreateItemForMonitor(uint64_t monitor,
                                               std::unique_ptr<CaptureItem>* item) {
    if (!item)
        return kPointer;
    const std::optional<MonitorInfo> info = FindMonitor(monitor);
    if (!info)
        return kInvalidArg;
    *item = std::make_unique<Item>(info->id, 0, FrameSize{info->width, info->height});
    return kOk;
}

int32_t SyntheticDisplay::CreateItemForWindow(uint64_t window, std::unique_ptr<CaptureItem>* item) {
    if (!item)
        return kPointer;
    std::lock_guard lock(m_mutex);
    auto it = m_windows.find(window);
    if (it == m_windows.end())
        return kInvalidWindowHandle;
    *item =
        std::make_unique<Item>(0, window, FrameSize{it->second.info.width, it->second.info.height});
    return kOk;
}

int32_t SyntheticDisplay::CreateFramePool(const std::shared_ptr<gfx::Device>& device,
                                          const CaptureItem& item, uint32_t bufferCount,
                                          FrameSize size, std::shared_ptr<FramePool>* pool) {
    if (!pool || !device)
        return kPointer;
    if (size.width == 0 || size.height == 0 || bufferCount == 0)
        return kInvalidArg;
    {
        std::lock_guard lock(m_mutex);
        if (const int32_t failure = std::exchange(m_poolFailure, 0))
            return failure;
    }
    auto bufferFactory = [device](FrameSize bufferSize) -> std::unique_ptr<PoolBuffer> {
        gfx::TextureDesc desc;
        desc.width = bufferSize.width;
        desc.height = bufferSize.height;
        desc.bindFlags = gfx::kBindShaderResource;
        std::shared_ptr<gfx::Texture> texture;
        if (Failed(device->CreateTexture(desc, nullptr, 0, &texture)))
            return nullptr;
        return std::make_unique<PoolBuffer>(std::move(texture));
    };
    auto sessionFactory = [self = shared_from_this()](const CaptureItem& captureItem,
                                                      QueuedFramePool& framePool,
                                                      std::unique_ptr<CaptureSession>* session) {
        const auto* ours = dynamic_cast<const Item*>(&captureItem);
        if (!ours)
            return kInvalidArg;
        *session = std::make_unique<Session>(
            self, *ours, std::static_pointer_cast<QueuedFramePool>(framePool.shared_from_this()));
        return kOk;
    };
    *pool = std::make_shared<QueuedFramePool>(bufferCount, size, std::move(bufferFactory),
                                              std::move(sessionFactory));
    return kOk;
}

std::optional<FrameSize> SyntheticDisplay::ContentSize(const Item& item) {
    if (item.window == 0)
        return item.size;
    std::lock_guard lock(m_mutex);
    auto it = m_windows.find(item.window);
    if (it == m_windows.end())
        return std::nullopt;
    return FrameSize{it->second.info.width, it->second.info.height};
}

void SyntheticDisplay::PaintFrame(const Item& item, gfx::Texture& texture, FrameSize size,
                                  int64_t timeNs, uint64_t frameIndex, bool cursor) {
    if (m_options.painter) {
        m_options.painter(texture, size, timeNs, frameIndex);
    } else {
        SyntheticScene::Paint(texture, size.width, size.height, timeNs, frameIndex);
    }
    if (!cursor || !m_options.drawCursor)
        return;
    const CursorPosition position = *Cursor();
    int32_t originX = 0;
    int32_t originY = 0;
    if (item.window == 0) {
        if (auto monitor = FindMonitor(item.monitor)) {
            originX = monitor->x;
            originY = monitor->y;
        }
    } else {
        std::lock_guard lock(m_mutex);
        if (auto it = m_windows.find(item.window); it != m_windows.end()) {
            originX = it->second.info.x;
            originY = it->second.info.y;
        }
    }
    SyntheticScene::PaintCursor(texture, position.x - originX, position.y - originY);
}

}  // namespace tamro::platform
