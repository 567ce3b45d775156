#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/camera/V4l2Device.h"

namespace tamro::platform::camera {

// The memory-mapped capture buffers of a device, from request to release: allocated, mapped and
// all queued by Create; unmapped and given back to the driver by the destructor.
// Threading: one thread at a time; the device must outlive the queue.
class V4l2BufferQueue {
  public:
    struct Buffer {
        uint32_t index = 0;
        const uint8_t* data = nullptr;
        uint32_t bytesUsed = 0;  // never more than the mapping
        uint32_t flags = 0;      // V4L2_BUF_FLAG_*
    };

    // Null with the errno in `error` when the driver refuses; nothing is left allocated then.
    static std::unique_ptr<V4l2BufferQueue> Create(V4l2Device& device, uint32_t count, int* error);

    explicit V4l2BufferQueue(V4l2Device& device) : m_device(device) {}
    ~V4l2BufferQueue();
    V4l2BufferQueue(const V4l2BufferQueue&) = delete;
    V4l2BufferQueue& operator=(const V4l2BufferQueue&) = delete;

    // Each returns 0 or the errno value.
    int StreamOn();
    int StreamOff();
    // The oldest filled buffer, now held by the caller until it is queued again. EAGAIN when none
    // is ready.
    int Dequeue(Buffer* buffer);
    int Queue(uint32_t index);
    // A failed dequeue may still have taken a buffer off the driver's queue without handing it
    // over; each such buffer would be lost to the stream for good. Queues again every buffer the
    // driver neither holds nor has filled, except those the caller holds.
    int RequeueLost();

  private:
    struct Mapping {
        void* address = nullptr;
        size_t length = 0;
        bool held = false;
    };

    int Allocate(uint32_t count);
    int MapBuffer(uint32_t index);

    V4l2Device& m_device;
    std::vector<Mapping> m_buffers;
    bool m_allocated = false;
};

}  // namespace tamro::platform::camera
