#include "platform/display/QueuedFramePool.h"

#include "tamro/ResultCode.h"

namespace tamro::platform {

// Holds its buffer until destroyed, then hands it back to the pool (if the pool still exists).
class QueuedFramePool::Frame final : public CaptureFrame {
  public:
    Frame(std::weak_ptr<QueuedFramePool> pool, std::unique_ptr<PoolBuffer> buffer, FrameSize size,
          int64_t captureTimeNs)
        : m_pool(std::move(pool)),
          m_buffer(std::move(buffer)),
          m_contentSize(size),
          m_captureTimeNs(captureTimeNs) {}
    ~Frame() override {
        if (auto pool = m_pool.lock())
            pool->Recycle(std::move(m_buffer));
    }

    FrameSize ContentSize() const override { return m_contentSize; }
    gfx::Texture* Surface() const override { return m_buffer->Texture(); }
    int64_t CaptureTimeNs() const override { return m_captureTimeNs; }

  private:
    std::weak_ptr<QueuedFramePool> m_pool;
    std::unique_ptr<PoolBuffer> m_buffer;
    FrameSize m_contentSize;
    int64_t m_captureTimeNs;
};

QueuedFramePool::QueuedFramePool(uint32_t bufferCount, FrameSize size, BufferFactory bufferFactory,
                                 SessionFactory sessionFactory)
    : m_bufferCount(bufferCount),
      m_bufferFactory(std::move(bufferFactory)),
      m_sessionFactory(std::move(sessionFactory)),
      m_size(size) {}

QueuedFramePool::~QueuedFramePool() = default;

int32_t QueuedFramePool::Recreate(FrameSize size) {
    if (size.width == 0 || size.height == 0)
        return kInvalidArg;
    std::lock_guard lock(m_mutex);
    if (m_closed)
        return kFail;
    m_size = size;
    m_free.clear();
    return kOk;
}

void QueuedFramePool::SetFrameArrived(std::function<void()> handler) {
    std::lock_guard lock(m_mutex);
    m_handler =
        handler ? std::make_shared<const std::function<void()>>(std::move(handler)) : nullptr;
}

std::unique_ptr<CaptureFrame> QueuedFramePool::TryGetNextFrame() {
    std::lock_guard lock(m_mutex);
    if (m_ready.empty())
        return nullptr;
    Queued next = std::move(m_ready.front());
    m_ready.pop_front();
    return std::make_unique<Frame>(weak_from_this(), std::move(next.buffer), next.contentSize,
                                   next.captureTimeNs);
}

int32_t QueuedFramePool::CreateCaptureSession(const CaptureItem& item,
                                              std::unique_ptr<CaptureSession>* session) {
    if (!session)
        return kPointer;
    return m_sessionFactory(item, *this, session);
}

void QueuedFramePool::Close() {
    std::lock_guard lock(m_mutex);
    m_closed = true;
    m_handler.reset();
    m_ready.clear();
    m_free.clear();
}

void QueuedFramePool::Preallocate() {
    for (;;) {
        FrameSize size;
        {
            std::lock_guard lock(m_mutex);
            if (m_closed || m_outstanding + m_free.size() >= m_bufferCount)
                return;
            size = m_size;
        }
        std::unique_ptr<PoolBuffer> buffer = m_bufferFactory(size);
        if (!buffer)
            return;
        std::lock_guard lock(m_mutex);
        m_free.push_back(std::move(buffer));
    }
}

std::unique_ptr<PoolBuffer> QueuedFramePool::AcquireBuffer() {
    FrameSize size;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            return nullptr;
        if (!m_free.empty()) {
            auto buffer = std::move(m_free.back());
            m_free.pop_back();
            ++m_outstanding;
            return buffer;
        }
        if (m_outstanding >= m_bufferCount)
            return nullptr;
        ++m_outstanding;
        size = m_size;
    }
    auto buffer = m_bufferFactory(size);
    if (!buffer) {
        std::lock_guard lock(m_mutex);
        --m_outstanding;
    }
    return buffer;
}

void QueuedFramePool::Publish(std::unique_ptr<PoolBuffer> buffer, FrameSize contentSize,
                              int64_t captureTimeNs) {
    std::shared_ptr<const std::function<void()>> handler;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed) {
            --m_outstanding;
            return;
        }
        if (m_ready.size() >= m_bufferCount) {
            // The consumer fell behind: the oldest frame goes, as a full pool overwrites it.
            Queued dropped = std::move(m_ready.front());
            m_ready.pop_front();
            --m_outstanding;
            if (dropped.buffer->Size() == m_size)
                m_free.push_back(std::move(dropped.buffer));
        }
        m_ready.push_back(Queued{std::move(buffer), contentSize, captureTimeNs});
        handler = m_handler;
    }
    if (handler)
        (*handler)();
}

void QueuedFramePool::ReturnBuffer(std::unique_ptr<PoolBuffer> buffer) {
    Recycle(std::move(buffer));
}

FrameSize QueuedFramePool::Size() const {
    std::lock_guard lock(m_mutex);
    return m_size;
}

void QueuedFramePool::Recycle(std::unique_ptr<PoolBuffer> buffer) {
    std::lock_guard lock(m_mutex);
    --m_outstanding;
    if (!m_closed && buffer && buffer->Size() == m_size)
        m_free.push_back(std::move(buffer));
}

}  // namespace tamro::platform
