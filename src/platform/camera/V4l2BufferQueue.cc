#include "platform/camera/V4l2BufferQueue.h"

#include <linux/videodev2.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>

namespace tamro::platform::camera {
namespace {

v4l2_buffer MmapBuffer(uint32_t index) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    return buffer;
}

}  // namespace

std::unique_ptr<V4l2BufferQueue> V4l2BufferQueue::Create(V4l2Device& device, uint32_t count,
                                                         int* error) {
    auto queue = std::make_unique<V4l2BufferQueue>(device);
    *error = queue->Allocate(count);
    for (uint32_t i = 0; *error == 0 && i < queue->m_buffers.size(); ++i)
        *error = queue->Queue(i);
    if (*error != 0)
        return nullptr;
    return queue;
}

V4l2BufferQueue::~V4l2BufferQueue() {
    for (const Mapping& mapping : m_buffers) {
        if (mapping.address)
            m_device.Syscalls().Munmap(mapping.address, mapping.length);
    }
    if (m_allocated) {
        v4l2_requestbuffers release{};
        release.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        release.memory = V4L2_MEMORY_MMAP;
        // An unplugged device has freed them already.
        m_device.Ioctl(VIDIOC_REQBUFS, &release);
    }
}

int V4l2BufferQueue::Allocate(uint32_t count) {
    v4l2_requestbuffers request{};
    request.count = count;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (int error = m_device.Ioctl(VIDIOC_REQBUFS, &request))
        return error;
    m_allocated = true;
    // The driver may grant fewer than asked, but none is no stream at all.
    if (request.count == 0)
        return ENOMEM;
    m_buffers.resize(request.count);
    for (uint32_t i = 0; i < request.count; ++i) {
        if (int error = MapBuffer(i))
            return error;
    }
    return 0;
}

int V4l2BufferQueue::MapBuffer(uint32_t index) {
    v4l2_buffer buffer = MmapBuffer(index);
    if (int error = m_device.Ioctl(VIDIOC_QUERYBUF, &buffer))
        return error;
    const MapResult mapped = m_device.Syscalls().Mmap(buffer.length, PROT_READ | PROT_WRITE,
                                                      MAP_SHARED, m_device.Fd(), buffer.m.offset);
    if (mapped.error != 0)
        return mapped.error;
    m_buffers[index] = {mapped.address, buffer.length, false};
    return 0;
}

int V4l2BufferQueue::StreamOn() {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return m_device.Ioctl(VIDIOC_STREAMON, &type);
}

int V4l2BufferQueue::StreamOff() {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return m_device.Ioctl(VIDIOC_STREAMOFF, &type);
}

int V4l2BufferQueue::Dequeue(Buffer* buffer) {
    v4l2_buffer dequeued = MmapBuffer(0);
    if (int error = m_device.Ioctl(VIDIOC_DQBUF, &dequeued))
        return error;
    if (dequeued.index >= m_buffers.size())
        return EINVAL;
    Mapping& mapping = m_buffers[dequeued.index];
    mapping.held = true;
    *buffer = {dequeued.index, static_cast<const uint8_t*>(mapping.address),
               static_cast<uint32_t>(std::min<size_t>(dequeued.bytesused, mapping.length)),
               dequeued.flags};
    return 0;
}

int V4l2BufferQueue::Queue(uint32_t index) {
    v4l2_buffer buffer = MmapBuffer(index);
    if (int error = m_device.Ioctl(VIDIOC_QBUF, &buffer))
        return error;
    m_buffers[index].held = false;
    return 0;
}

int V4l2BufferQueue::RequeueLost() {
    for (uint32_t i = 0; i < m_buffers.size(); ++i) {
        if (m_buffers[i].held)
            continue;
        v4l2_buffer buffer = MmapBuffer(i);
        if (int error = m_device.Ioctl(VIDIOC_QUERYBUF, &buffer))
            return error;
        if ((buffer.flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE)) != 0)
            continue;
        if (int error = Queue(i))
            return error;
    }
    return 0;
}

}  // namespace tamro::platform::camera
