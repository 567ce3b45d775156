#pragma once

#include <linux/videodev2.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/camera/V4l2Syscalls.h"

namespace tamro::test {

// A pixel format as a driver lists it.
struct FakeCameraFormat {
    struct Size {
        uint32_t width = 0;
        uint32_t height = 0;
        // Frame intervals as (numerator, denominator) seconds, in the driver's order.
        std::vector<std::pair<uint32_t, uint32_t>> intervals{};
    };
    uint32_t fourcc = 0;
    std::vector<Size> sizes{};
    // Listed as one stepwise range from the first size to the last, with the first size's
    // intervals as a range from the first to the last.
    bool stepwise = false;
};

struct FakeCamera {
    std::string node{};  // "/dev/video0"
    std::string card{};
    std::string byId{};  // its link's name in /dev/v4l/by-id; empty for none
    uint32_t capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    std::vector<FakeCameraFormat> formats{};
};

// A kernel with made-up video devices, behind the driver code's system-call seam. It keeps what a
// streaming driver keeps (formats, rate, buffers with real memory, their queues, which descriptor
// owns them) and refuses what a driver refuses (buffers of another descriptor, freeing mapped
// buffers, changing the format while streaming). Descriptors are eventfds, readable while the
// device has a filled buffer or is gone, so poll waits on them beside the caller's own
// descriptors.
// Threading: any thread. A device's frames come from the test thread (PushFrames).
class FakeV4l2Kernel final : public platform::camera::V4l2Syscalls {
  public:
    FakeV4l2Kernel() = default;
    ~FakeV4l2Kernel() override;

    void AddCamera(FakeCamera camera);

    // Failures, by node.
    void FailOpen(const std::string& node, int error);  // 0 lets opens succeed again
    // Setting a format keeps the one set before, as a driver that cannot switch does.
    void RefuseFormats(const std::string& node);
    // The next `count` dequeues of a filled buffer fail with EIO and lose the buffer: the
    // driver took it off its queue without handing it over.
    void FailDequeues(const std::string& node, int count);
    // Gone: every call on its descriptors fails with ENODEV, poll reports an error, and the node
    // leaves /dev.
    void Unplug(const std::string& node);
    // Dequeues block until released, as a driver stuck in its hardware does.
    void HoldDequeue(const std::string& node);
    void ReleaseDequeue(const std::string& node);
    bool WaitForHeldDequeue(const std::string& node, std::chrono::milliseconds limit);

    // Fills the oldest queued buffers with `frames`, all at once, and flags them; false when
    // the device is not streaming or has fewer queued buffers than frames (none is filled then).
    bool PushFrames(const std::string& node, const std::vector<std::vector<uint8_t>>& frames,
                    uint32_t flags = 0);
    // Until every allocated buffer is back on the driver's queue: the reader has handled all it
    // was given.
    bool WaitAllQueued(const std::string& node, std::chrono::milliseconds limit);
    // Until no buffer of the device is mapped: a reader that was left running has let go.
    bool WaitUnmapped(const std::string& node, std::chrono::milliseconds limit);

    int Opens(const std::string& node) const;
    int OpenDescriptors(const std::string& node) const;
    int AllocatedBuffers(const std::string& node) const;
    int MappedBuffers(const std::string& node) const;
    bool Streaming(const std::string& node) const;
    // What the driver is set to.
    v4l2_pix_format Format(const std::string& node) const;
    v4l2_fract Interval(const std::string& node) const;

    platform::camera::SyscallResult Open(const std::string& path, int flags) override;
    platform::camera::SyscallResult Close(int fd) override;
    platform::camera::SyscallResult Ioctl(int fd, unsigned long request, void* argument) override;
    platform::camera::MapResult Mmap(size_t length, int protection, int flags, int fd,
                                     off_t offset) override;
    platform::camera::SyscallResult Munmap(void* address, size_t length) override;
    platform::camera::SyscallResult Poll(std::span<pollfd> fds, int timeoutMs) override;
    platform::camera::DirectoryListing ReadDirectory(const std::string& directory) override;
    platform::camera::ResolvedPath Resolve(const std::string& path) override;

  private:
    struct Buffer {
        enum class State { kDequeued, kQueued, kDone };
        std::vector<uint8_t> memory;
        State state = State::kDequeued;
        uint32_t bytesUsed = 0;
        uint32_t flags = 0;
        uint32_t sequence = 0;
        int mappings = 0;
    };
    struct Device {
        FakeCamera camera;
        int openError = 0;
        bool refuseFormats = false;
        int failDequeues = 0;
        bool unplugged = false;
        bool holdDequeue = false;
        int heldDequeues = 0;
        int opens = 0;
        v4l2_pix_format format{};
        v4l2_fract interval{};
        std::vector<Buffer> buffers;
        std::deque<uint32_t> queued;
        std::deque<uint32_t> done;
        int owner = -1;
        bool streaming = false;
        uint32_t sequence = 0;
    };
    struct File {
        Device* device = nullptr;
        bool signalled = false;
    };

    Device& DeviceAt(const std::string& node) const;
    void UpdateReadiness(Device& device);
    int Dispatch(std::unique_lock<std::mutex>& lock, int fd, Device& device, unsigned long request,
                 void* argument);
    int QueryCapability(Device& device, v4l2_capability& capability);
    int EnumerateFormat(Device& device, v4l2_fmtdesc& description);
    int EnumerateSize(Device& device, v4l2_frmsizeenum& size);
    int EnumerateInterval(Device& device, v4l2_frmivalenum& interval);
    int SetFormat(int fd, Device& device, v4l2_format& format);
    int SetParameters(Device& device, v4l2_streamparm& parameters);
    int RequestBuffers(int fd, Device& device, v4l2_requestbuffers& request);
    int QueryBuffer(Device& device, v4l2_buffer& buffer);
    int QueueBuffer(int fd, Device& device, v4l2_buffer& buffer);
    int DequeueBuffer(std::unique_lock<std::mutex>& lock, int fd, Device& device,
                      v4l2_buffer& buffer);
    int SetStreaming(int fd, Device& device, bool on);
    void ReleaseOwnership(Device& device);
    const FakeCameraFormat* FindFormat(const Device& device, uint32_t fourcc) const;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, std::unique_ptr<Device>> m_devices;
    std::map<int, File> m_files;
};

// A frame's offset of buffer `index` in the fake's mmap space.
constexpr off_t kFakeBufferOffsetStep = 1 << 20;

}  // namespace tamro::test
