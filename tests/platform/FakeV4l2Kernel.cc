#include "platform/FakeV4l2Kernel.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tamro::test {
namespace {

using platform::camera::DirectoryListing;
using platform::camera::MapResult;
using platform::camera::ResolvedPath;
using platform::camera::SyscallResult;

constexpr char kByIdDirectory[] = "/dev/v4l/by-id/";

SyscallResult Result(int error) {
    return error == 0 ? SyscallResult{0, 0} : SyscallResult{-1, error};
}

std::string BaseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// Line and image sizes as drivers report them; compressed formats get a generous maximum.
void FillSizes(v4l2_pix_format& format) {
    const uint32_t pixels = format.width * format.height;
    switch (format.pixelformat) {
        case V4L2_PIX_FMT_YUYV:
            format.bytesperline = format.width * 2;
            format.sizeimage = pixels * 2;
            break;
        case V4L2_PIX_FMT_NV12:
            format.bytesperline = format.width;
            format.sizeimage = pixels * 3 / 2;
            break;
        case V4L2_PIX_FMT_MJPEG:
            format.bytesperline = 0;
            format.sizeimage = pixels * 2;
            break;
        default:
            format.bytesperline = format.width * 4;
            format.sizeimage = pixels * 4;
            break;
    }
}

}  // namespace

FakeV4l2Kernel::~FakeV4l2Kernel() {
    for (auto& [fd, file] : m_files)
        ::close(fd);
}

void FakeV4l2Kernel::AddCamera(FakeCamera camera) {
    std::lock_guard lock(m_mutex);
    auto device = std::make_unique<Device>();
    device->camera = std::move(camera);
    if (!device->camera.formats.empty() && !device->camera.formats[0].sizes.empty()) {
        const FakeCameraFormat& first = device->camera.formats[0];
        device->format.pixelformat = first.fourcc;
        device->format.width = first.sizes[0].width;
        device->format.height = first.sizes[0].height;
        device->format.field = V4L2_FIELD_NONE;
        FillSizes(device->format);
        if (!first.sizes[0].intervals.empty())
            device->interval = {first.sizes[0].intervals[0].first,
                                first.sizes[0].intervals[0].second};
    }
    const std::string node = device->camera.node;
    m_devices[node] = std::move(device);
}

FakeV4l2Kernel::Device& FakeV4l2Kernel::DeviceAt(const std::string& node) const {
    auto it = m_devices.find(node);
    if (it == m_devices.end())
        throw std::invalid_argument("no fake camera at " + node);
    return *it->second;
}

void FakeV4l2Kernel::FailOpen(const std::string& node, int error) {
    std::lock_guard lock(m_mutex);
    DeviceAt(node).openError = error;
}

void FakeV4l2Kernel::RefuseFormats(const std::string& node) {
    std::lock_guard lock(m_mutex);
    DeviceAt(node).refuseFormats = true;
}

void FakeV4l2Kernel::FailDequeues(const std::string& node, int count) {
    std::lock_guard lock(m_mutex);
    DeviceAt(node).failDequeues = count;
}

void FakeV4l2Kernel::Unplug(const std::string& node) {
    std::lock_guard lock(m_mutex);
    Device& device = DeviceAt(node);
    device.unplugged = true;
    device.streaming = false;
    UpdateReadiness(device);
    m_changed.notify_all();
}

void FakeV4l2Kernel::HoldDequeue(const std::string& node) {
    std::lock_guard lock(m_mutex);
    DeviceAt(node).holdDequeue = true;
}

void FakeV4l2Kernel::ReleaseDequeue(const std::string& node) {
    std::lock_guard lock(m_mutex);
    DeviceAt(node).holdDequeue = false;
    m_changed.notify_all();
}

bool FakeV4l2Kernel::WaitForHeldDequeue(const std::string& node, std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    Device& device = DeviceAt(node);
    return m_changed.wait_for(lock, limit, [&] { return device.heldDequeues > 0; });
}

bool FakeV4l2Kernel::PushFrames(const std::string& node,
                                const std::vector<std::vector<uint8_t>>& frames, uint32_t flags) {
    std::lock_guard lock(m_mutex);
    Device& device = DeviceAt(node);
    if (!device.streaming || device.queued.size() < frames.size())
        return false;
    for (const std::vector<uint8_t>& frame : frames) {
        const uint32_t index = device.queued.front();
        device.queued.pop_front();
        Buffer& buffer = device.buffers[index];
        const size_t bytes = std::min(frame.size(), buffer.memory.size());
        std::copy_n(frame.begin(), bytes, buffer.memory.begin());
        buffer.bytesUsed = static_cast<uint32_t>(bytes);
        buffer.flags = flags;
        buffer.sequence = device.sequence++;
        buffer.state = Buffer::State::kDone;
        device.done.push_back(index);
    }
    UpdateReadiness(device);
    return true;
}

bool FakeV4l2Kernel::WaitAllQueued(const std::string& node, std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    Device& device = DeviceAt(node);
    return m_changed.wait_for(lock, limit, [&] {
        return !device.buffers.empty() && device.queued.size() == device.buffers.size();
    });
}

bool FakeV4l2Kernel::WaitUnmapped(const std::string& node, std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    Device& device = DeviceAt(node);
    return m_changed.wait_for(lock, limit, [&] {
        return std::none_of(device.buffers.begin(), device.buffers.end(),
                            [](const Buffer& b) { return b.mappings > 0; });
    });
}

int FakeV4l2Kernel::Opens(const std::string& node) const {
    std::lock_guard lock(m_mutex);
    return DeviceAt(node).opens;
}

int FakeV4l2Kernel::OpenDescriptors(const std::string& node) const {
    std::lock_guard lock(m_mutex);
    const Device& device = DeviceAt(node);
    return static_cast<int>(std::count_if(m_files.begin(), m_files.end(), [&](const auto& entry) {
        return entry.second.device == &device;
    }));
}

int FakeV4l2Kernel::AllocatedBuffers(const std::string& node) const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(DeviceAt(node).buffers.size());
}

int FakeV4l2Kernel::MappedBuffers(const std::string& node) const {
    std::lock_guard lock(m_mutex);
    const auto& buffers = DeviceAt(node).buffers;
    return static_cast<int>(std::count_if(buffers.begin(), buffers.end(),
                                          [](const Buffer& b) { return b.mappings > 0; }));
}

bool FakeV4l2Kernel::Streaming(const std::string& node) const {
    std::lock_guard lock(m_mutex);
    return DeviceAt(node).streaming;
}

v4l2_pix_format FakeV4l2Kernel::Format(const std::string& node) const {
    std::lock_guard lock(m_mutex);
    return DeviceAt(node).format;
}

v4l2_fract FakeV4l2Kernel::Interval(const std::string& node) const {
    std::lock_guard lock(m_mutex);
    return DeviceAt(node).interval;
}

void FakeV4l2Kernel::UpdateReadiness(Device& device) {
    for (auto& [fd, file] : m_files) {
        if (file.device != &device)
            continue;
        const bool ready = device.unplugged || (fd == device.owner && !device.done.empty());
        if (ready && !file.signalled) {
            const uint64_t one = 1;
            [[maybe_unused]] ssize_t written = ::write(fd, &one, sizeof(one));
        } else if (!ready && file.signalled) {
            uint64_t value = 0;
            [[maybe_unused]] ssize_t read = ::read(fd, &value, sizeof(value));
        }
        file.signalled = ready;
    }
}

SyscallResult FakeV4l2Kernel::Open(const std::string& path, int flags) {
    std::lock_guard lock(m_mutex);
    auto it = m_devices.find(path);
    if (it == m_devices.end() || it->second->unplugged)
        return Result(ENOENT);
    Device& device = *it->second;
    if (device.openError != 0)
        return Result(device.openError);
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0)
        return Result(errno);
    m_files[fd] = {&device, false};
    ++device.opens;
    UpdateReadiness(device);
    return {fd, 0};
}

SyscallResult FakeV4l2Kernel::Close(int fd) {
    std::lock_guard lock(m_mutex);
    auto it = m_files.find(fd);
    if (it == m_files.end())
        return Result(EBADF);
    Device& device = *it->second.device;
    if (device.owner == fd)
        ReleaseOwnership(device);
    m_files.erase(it);
    ::close(fd);
    m_changed.notify_all();
    return Result(0);
}

// The queue goes with its owner's last descriptor; memory still mapped lives until unmapped.
void FakeV4l2Kernel::ReleaseOwnership(Device& device) {
    device.streaming = false;
    device.owner = -1;
    device.queued.clear();
    device.done.clear();
    const bool mapped = std::any_of(device.buffers.begin(), device.buffers.end(),
                                    [](const Buffer& b) { return b.mappings > 0; });
    if (!mapped)
        device.buffers.clear();
}

SyscallResult FakeV4l2Kernel::Ioctl(int fd, unsigned long request, void* argument) {
    std::unique_lock lock(m_mutex);
    auto it = m_files.find(fd);
    if (it == m_files.end())
        return Result(EBADF);
    Device& device = *it->second.device;
    if (device.unplugged)
        return Result(ENODEV);
    const int error = Dispatch(lock, fd, device, request, argument);
    UpdateReadiness(device);
    m_changed.notify_all();
    return Result(error);
}

int FakeV4l2Kernel::Dispatch(std::unique_lock<std::mutex>& lock, int fd, Device& device,
                             unsigned long request, void* argument) {
    switch (request) {
        case VIDIOC_QUERYCAP:
            return QueryCapability(device, *static_cast<v4l2_capability*>(argument));
        case VIDIOC_ENUM_FMT:
            return EnumerateFormat(device, *static_cast<v4l2_fmtdesc*>(argument));
        case VIDIOC_ENUM_FRAMESIZES:
            return EnumerateSize(device, *static_cast<v4l2_frmsizeenum*>(argument));
        case VIDIOC_ENUM_FRAMEINTERVALS:
            return EnumerateInterval(device, *static_cast<v4l2_frmivalenum*>(argument));
        case VIDIOC_G_FMT:
            static_cast<v4l2_format*>(argument)->fmt.pix = device.format;
            return 0;
        case VIDIOC_S_FMT:
            return SetFormat(fd, device, *static_cast<v4l2_format*>(argument));
        case VIDIOC_G_PARM: {
            auto& capture = static_cast<v4l2_streamparm*>(argument)->parm.capture;
            capture.capability = V4L2_CAP_TIMEPERFRAME;
            capture.timeperframe = device.interval;
            return 0;
        }
        case VIDIOC_S_PARM:
            return SetParameters(device, *static_cast<v4l2_streamparm*>(argument));
        case VIDIOC_REQBUFS:
            return RequestBuffers(fd, device, *static_cast<v4l2_requestbuffers*>(argument));
        case VIDIOC_QUERYBUF:
            return QueryBuffer(device, *static_cast<v4l2_buffer*>(argument));
        case VIDIOC_QBUF:
            return QueueBuffer(fd, device, *static_cast<v4l2_buffer*>(argument));
        case VIDIOC_DQBUF:
            return DequeueBuffer(lock, fd, device, *static_cast<v4l2_buffer*>(argument));
        case VIDIOC_STREAMON:
            return SetStreaming(fd, device, true);
        case VIDIOC_STREAMOFF:
            return SetStreaming(fd, device, false);
        default:
            return ENOTTY;
    }
}

int FakeV4l2Kernel::QueryCapability(Device& device, v4l2_capability& capability) {
    capability = {};
    std::strncpy(reinterpret_cast<char*>(capability.driver), "fakecam",
                 sizeof(capability.driver) - 1);
    std::strncpy(reinterpret_cast<char*>(capability.card), device.camera.card.c_str(),
                 sizeof(capability.card) - 1);
    capability.device_caps = device.camera.capabilities;
    capability.capabilities = device.camera.capabilities | V4L2_CAP_VIDEO_CAPTURE |
                              V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
    return 0;
}

int FakeV4l2Kernel::EnumerateFormat(Device& device, v4l2_fmtdesc& description) {
    if (description.type != V4L2_BUF_TYPE_VIDEO_CAPTURE ||
        description.index >= device.camera.formats.size())
        return EINVAL;
    description.pixelformat = device.camera.formats[description.index].fourcc;
    return 0;
}

const FakeCameraFormat* FakeV4l2Kernel::FindFormat(const Device& device, uint32_t fourcc) const {
    for (const FakeCameraFormat& format : device.camera.formats) {
        if (format.fourcc == fourcc)
            return &format;
    }
    return nullptr;
}

int FakeV4l2Kernel::EnumerateSize(Device& device, v4l2_frmsizeenum& size) {
    const FakeCameraFormat* format = FindFormat(device, size.pixel_format);
    if (!format || format->sizes.empty())
        return EINVAL;
    if (format->stepwise) {
        if (size.index != 0)
            return EINVAL;
        size.type = V4L2_FRMSIZE_TYPE_STEPWISE;
        size.stepwise = {format->sizes.front().width,  format->sizes.back().width,  2,
                         format->sizes.front().height, format->sizes.back().height, 2};
        return 0;
    }
    if (size.index >= format->sizes.size())
        return EINVAL;
    size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
    size.discrete = {format->sizes[size.index].width, format->sizes[size.index].height};
    return 0;
}

int FakeV4l2Kernel::EnumerateInterval(Device& device, v4l2_frmivalenum& interval) {
    const FakeCameraFormat* format = FindFormat(device, interval.pixel_format);
    if (!format)
        return EINVAL;
    const FakeCameraFormat::Size* size = nullptr;
    for (const auto& candidate : format->sizes) {
        if (format->stepwise ||
            (candidate.width == interval.width && candidate.height == interval.height)) {
            size = &candidate;
            break;
        }
    }
    if (!size || size->intervals.empty())
        return EINVAL;
    if (format->stepwise) {
        if (interval.index != 0)
            return EINVAL;
        interval.type = V4L2_FRMIVAL_TYPE_STEPWISE;
        const auto [minN, minD] = size->intervals.front();
        const auto [maxN, maxD] = size->intervals.back();
        interval.stepwise = {{minN, minD}, {maxN, maxD}, {1, minD}};
        return 0;
    }
    if (interval.index >= size->intervals.size())
        return EINVAL;
    interval.type = V4L2_FRMIVAL_TYPE_DISCRETE;
    const auto [numerator, denominator] = size->intervals[interval.index];
    interval.discrete = {numerator, denominator};
    return 0;
}

int FakeV4l2Kernel::SetFormat(int fd, Device& device, v4l2_format& request) {
    if (request.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return EINVAL;
    if (device.streaming || (device.owner != -1 && device.owner != fd))
        return EBUSY;
    v4l2_pix_format& wanted = request.fmt.pix;
    const FakeCameraFormat* format = FindFormat(device, wanted.pixelformat);
    if (!device.refuseFormats && format) {
        // Like a driver: a size it does not have becomes the nearest it has (here, its first).
        const auto match = std::find_if(format->sizes.begin(), format->sizes.end(), [&](auto& s) {
            return s.width == wanted.width && s.height == wanted.height;
        });
        const auto& size = match != format->sizes.end() ? *match : format->sizes.front();
        const bool inRange = format->stepwise && wanted.width >= format->sizes.front().width &&
                             wanted.width <= format->sizes.back().width &&
                             wanted.height >= format->sizes.front().height &&
                             wanted.height <= format->sizes.back().height;
        device.format.pixelformat = format->fourcc;
        device.format.width = inRange ? wanted.width : size.width;
        device.format.height = inRange ? wanted.height : size.height;
        FillSizes(device.format);
        if (!size.intervals.empty())
            device.interval = {size.intervals[0].first, size.intervals[0].second};
    }
    wanted = device.format;
    return 0;
}

int FakeV4l2Kernel::SetParameters(Device& device, v4l2_streamparm& parameters) {
    if (parameters.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return EINVAL;
    // Any rate the current size lists; others keep the rate set before.
    const v4l2_fract wanted = parameters.parm.capture.timeperframe;
    if (const FakeCameraFormat* format = FindFormat(device, device.format.pixelformat)) {
        for (const auto& size : format->sizes) {
            if (!format->stepwise &&
                (size.width != device.format.width || size.height != device.format.height))
                continue;
            for (auto [numerator, denominator] : size.intervals) {
                if (numerator == wanted.numerator && denominator == wanted.denominator)
                    device.interval = wanted;
            }
        }
    }
    parameters.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    parameters.parm.capture.timeperframe = device.interval;
    return 0;
}

int FakeV4l2Kernel::RequestBuffers(int fd, Device& device, v4l2_requestbuffers& request) {
    if (request.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || request.memory != V4L2_MEMORY_MMAP)
        return EINVAL;
    if (device.owner != -1 && device.owner != fd)
        return EBUSY;
    const bool mapped = std::any_of(device.buffers.begin(), device.buffers.end(),
                                    [](const Buffer& b) { return b.mappings > 0; });
    if (device.streaming || mapped)
        return EBUSY;
    device.buffers.clear();
    device.queued.clear();
    device.done.clear();
    device.owner = -1;
    if (request.count == 0)
        return 0;
    request.count = std::min<uint32_t>(request.count, 32);
    device.buffers.resize(request.count);
    for (Buffer& buffer : device.buffers)
        buffer.memory.assign(device.format.sizeimage, 0);
    device.owner = fd;
    return 0;
}

int FakeV4l2Kernel::QueryBuffer(Device& device, v4l2_buffer& buffer) {
    if (buffer.index >= device.buffers.size())
        return EINVAL;
    const Buffer& state = device.buffers[buffer.index];
    buffer.length = static_cast<uint32_t>(state.memory.size());
    buffer.m.offset = static_cast<uint32_t>(buffer.index * kFakeBufferOffsetStep);
    buffer.bytesused = state.bytesUsed;
    buffer.flags = state.flags | (state.mappings > 0 ? V4L2_BUF_FLAG_MAPPED : 0) |
                   (state.state == Buffer::State::kQueued ? V4L2_BUF_FLAG_QUEUED : 0) |
                   (state.state == Buffer::State::kDone ? V4L2_BUF_FLAG_DONE : 0);
    return 0;
}

int FakeV4l2Kernel::QueueBuffer(int fd, Device& device, v4l2_buffer& buffer) {
    if (device.owner != fd)
        return EBUSY;
    if (buffer.index >= device.buffers.size() ||
        device.buffers[buffer.index].state != Buffer::State::kDequeued)
        return EINVAL;
    device.buffers[buffer.index].state = Buffer::State::kQueued;
    device.queued.push_back(buffer.index);
    return 0;
}

int FakeV4l2Kernel::DequeueBuffer(std::unique_lock<std::mutex>& lock, int fd, Device& device,
                                  v4l2_buffer& buffer) {
    if (device.holdDequeue) {
        ++device.heldDequeues;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return !device.holdDequeue || device.unplugged; });
        --device.heldDequeues;
    }
    if (device.unplugged)
        return ENODEV;
    if (device.owner != fd)
        return EBUSY;
    if (device.done.empty())
        return EAGAIN;
    const uint32_t index = device.done.front();
    device.done.pop_front();
    Buffer& state = device.buffers[index];
    state.state = Buffer::State::kDequeued;
    if (device.failDequeues > 0) {
        --device.failDequeues;
        return EIO;
    }
    buffer.index = index;
    buffer.bytesused = state.bytesUsed;
    buffer.flags = state.flags;
    buffer.sequence = state.sequence;
    buffer.length = static_cast<uint32_t>(state.memory.size());
    return 0;
}

int FakeV4l2Kernel::SetStreaming(int fd, Device& device, bool on) {
    if (device.owner != fd)
        return device.owner == -1 && !on ? 0 : EBUSY;
    if (on && device.buffers.empty())
        return EINVAL;
    device.streaming = on;
    if (on)
        return 0;
    // Stopping hands every buffer back to the caller, filled or not.
    for (Buffer& buffer : device.buffers)
        buffer.state = Buffer::State::kDequeued;
    device.queued.clear();
    device.done.clear();
    return 0;
}

MapResult FakeV4l2Kernel::Mmap(size_t length, int protection, int flags, int fd, off_t offset) {
    std::lock_guard lock(m_mutex);
    auto it = m_files.find(fd);
    if (it == m_files.end())
        return {MAP_FAILED, EBADF};
    Device& device = *it->second.device;
    if (device.unplugged)
        return {MAP_FAILED, ENODEV};
    const size_t index = static_cast<size_t>(offset / kFakeBufferOffsetStep);
    if (device.owner != fd || offset % kFakeBufferOffsetStep != 0 ||
        index >= device.buffers.size() || length > device.buffers[index].memory.size() ||
        (flags & MAP_SHARED) == 0)
        return {MAP_FAILED, EINVAL};
    Buffer& buffer = device.buffers[index];
    ++buffer.mappings;
    return {buffer.memory.data(), 0};
}

SyscallResult FakeV4l2Kernel::Munmap(void* address, size_t length) {
    std::lock_guard lock(m_mutex);
    for (auto& [node, device] : m_devices) {
        for (Buffer& buffer : device->buffers) {
            if (buffer.memory.data() != address || buffer.mappings == 0)
                continue;
            --buffer.mappings;
            // The last mapping of a queue whose owner has gone frees it.
            if (device->owner == -1 && std::none_of(device->buffers.begin(), device->buffers.end(),
                                                    [](const Buffer& b) { return b.mappings > 0; }))
                device->buffers.clear();
            m_changed.notify_all();
            return Result(0);
        }
    }
    return Result(EINVAL);
}

SyscallResult FakeV4l2Kernel::Poll(std::span<pollfd> fds, int timeoutMs) {
    if (::poll(fds.data(), fds.size(), timeoutMs) < 0)
        return Result(errno);
    // The eventfds only wake the wait; what a device reports comes from its state.
    std::lock_guard lock(m_mutex);
    long ready = 0;
    for (pollfd& entry : fds) {
        auto it = m_files.find(entry.fd);
        if (it != m_files.end()) {
            const Device& device = *it->second.device;
            entry.revents = 0;
            if (device.unplugged)
                entry.revents = POLLERR | POLLHUP;
            else if (device.owner == entry.fd && !device.done.empty())
                entry.revents = entry.events & (POLLIN | POLLRDNORM);
        }
        ready += entry.revents != 0 ? 1 : 0;
    }
    return {ready, 0};
}

DirectoryListing FakeV4l2Kernel::ReadDirectory(const std::string& directory) {
    std::lock_guard lock(m_mutex);
    DirectoryListing listing;
    if (directory == "/dev") {
        // Neighbours a real /dev has, which are not cameras.
        listing.names = {"null", "vcs1", "video", "videoX1", "media0"};
        for (const auto& [node, device] : m_devices) {
            if (!device->unplugged)
                listing.names.push_back(BaseName(node));
        }
    } else if (directory + "/" == kByIdDirectory) {
        for (const auto& [node, device] : m_devices) {
            if (!device->unplugged && !device->camera.byId.empty())
                listing.names.push_back(device->camera.byId);
        }
    }
    if (listing.names.empty())
        listing.error = ENOENT;
    return listing;
}

ResolvedPath FakeV4l2Kernel::Resolve(const std::string& path) {
    std::lock_guard lock(m_mutex);
    for (const auto& [node, device] : m_devices) {
        if (device->unplugged)
            continue;
        if (path == node || path == kByIdDirectory + device->camera.byId)
            return {node, 0};
    }
    return {{}, ENOENT};
}

}  // namespace tamro::test
