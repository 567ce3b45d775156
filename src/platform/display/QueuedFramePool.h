#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/display/Display.h"

namespace tamro::platform {

// A frame buffer of a pool: a BGRA texture and whatever the backend keeps beside it.
class PoolBuffer {
  public:
    explicit PoolBuffer(std::shared_ptr<gfx::Texture> texture) : m_texture(std::move(texture)) {}
    virtual ~PoolBuffer() = default;
    gfx::Texture* Texture() const { return m_texture.get(); }
    FrameSize Size() const { return {m_texture->Width(), m_texture->Height()}; }

  private:
    std::shared_ptr<gfx::Texture> m_texture;
};

// The frame pool both backends share: a fixed number of buffers, frames queued in arrival order,
// and the arrival handler called on the producer's thread. A frame whose buffer has the old size
// after Recreate is still delivered; its buffer is then dropped instead of reused.
// Threading: the producer (a session's worker) calls AcquireBuffer/Publish; everything else may
// come from any thread.
class QueuedFramePool : public FramePool, public std::enable_shared_from_this<QueuedFramePool> {
  public:
    using BufferFactory = std::function<std::unique_ptr<PoolBuffer>(FrameSize size)>;
    using SessionFactory = std::function<int32_t(const CaptureItem& item, QueuedFramePool& pool,
                                                 std::unique_ptr<CaptureSession>* session)>;

    QueuedFramePool(uint32_t bufferCount, FrameSize size, BufferFactory bufferFactory,
                    SessionFactory sessionFactory);
    ~QueuedFramePool() override;

    // FramePool
    int32_t Recreate(FrameSize size) override;
    void SetFrameArrived(std::function<void()> handler) override;
    std::unique_ptr<CaptureFrame> TryGetNextFrame() override;
    int32_t CreateCaptureSession(const CaptureItem& item,
                                 std::unique_ptr<CaptureSession>* session) override;
    void Close() override;

    // Creates the buffers not made yet, so that no frame waits for an allocation; call it before
    // the capture starts.
    void Preallocate();

    // Producer side. Null when every buffer is in use or the pool is closed.
    std::unique_ptr<PoolBuffer> AcquireBuffer();
    // Queues the filled buffer (dropping the oldest queued frame when full) and calls the handler.
    // `captureTimeNs`: when its pixels were taken.
    void Publish(std::unique_ptr<PoolBuffer> buffer, FrameSize contentSize, int64_t captureTimeNs);
    // Gives back a buffer the producer did not publish.
    void ReturnBuffer(std::unique_ptr<PoolBuffer> buffer);
    FrameSize Size() const;

  private:
    class Frame;
    struct Queued {
        std::unique_ptr<PoolBuffer> buffer;
        FrameSize contentSize;
        int64_t captureTimeNs = 0;
    };

    void Recycle(std::unique_ptr<PoolBuffer> buffer);

    const uint32_t m_bufferCount;
    const BufferFactory m_bufferFactory;
    const SessionFactory m_sessionFactory;

    mutable std::mutex m_mutex;
    FrameSize m_size;
    bool m_closed = false;
    uint32_t m_outstanding = 0;  // buffers acquired, queued or held by frames
    std::vector<std::unique_ptr<PoolBuffer>> m_free;
    std::deque<Queued> m_ready;
    std::shared_ptr<const std::function<void()>> m_handler;
};

}  // namespace tamro::platform
