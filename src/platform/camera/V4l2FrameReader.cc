#include "platform/camera/V4l2FrameReader.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <optional>
#include <utility>

#include "diag/Log.h"

namespace tamro::platform::camera {
namespace {

ReaderStartStatus StatusOf(int error) {
    switch (error) {
        case 0:
            return ReaderStartStatus::kSuccess;
        case EBUSY:
            return ReaderStartStatus::kExclusiveControlNotAvailable;
        case ENODEV:
            return ReaderStartStatus::kDeviceNotAvailable;
        default:
            return ReaderStartStatus::kUnknownFailure;
    }
}

// A buffer of these formats holds exactly one frame of the negotiated size; less is a frame cut
// short.
bool IsUncompressed(uint32_t fourcc) {
    return fourcc == V4L2_PIX_FMT_YUYV || fourcc == V4L2_PIX_FMT_NV12 ||
           fourcc == V4L2_PIX_FMT_BGR32 || fourcc == V4L2_PIX_FMT_ABGR32;
}

}  // namespace

V4l2FrameReader::V4l2FrameReader(std::shared_ptr<V4l2Device> device)
    : m_device(std::move(device)) {}

V4l2FrameReader::~V4l2FrameReader() {
    try {
        Stop();
    } catch (const CameraError&) {
        // The device failed to stop: the buffers are released regardless.
    }
}

ReaderStartStatus V4l2FrameReader::Start(FrameSink sink, StreamEndedSink ended) {
    if (m_queue)
        return ReaderStartStatus::kSuccess;
    if (!m_wake.IsValid())
        return ReaderStartStatus::kUnknownFailure;
    const ReaderStartStatus status = StartStreaming();
    if (status != ReaderStartStatus::kSuccess)
        return status;
    m_sink = std::move(sink);
    m_ended = std::move(ended);
    m_stopping = false;
    m_wake.Reset();
    m_thread = std::thread([this] { Run(); });
    return status;
}

ReaderStartStatus V4l2FrameReader::StartStreaming() {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    int error = m_device->Ioctl(VIDIOC_G_FMT, &format);
    const v4l2_pix_format& pix = format.fmt.pix;
    if (error == 0 && !FrameDecoder::Reads(pix.pixelformat)) {
        LogLine("[V4l2FrameReader] %s: cannot read %s frames", m_device->Path().c_str(),
                SubtypeOf(pix.pixelformat).c_str());
        return ReaderStartStatus::kOutputFormatNotSupported;
    }
    if (error == 0) {
        m_format = {.fourcc = pix.pixelformat,
                    .subtype = SubtypeOf(pix.pixelformat),
                    .width = pix.width,
                    .height = pix.height};
        m_frameBytes = IsUncompressed(pix.pixelformat) ? pix.sizeimage : 0;
        m_queue = V4l2BufferQueue::Create(*m_device, kBufferCount, &error);
    }
    if (error == 0)
        error = m_queue->StreamOn();
    if (error == 0)
        return ReaderStartStatus::kSuccess;
    m_queue.reset();
    LogLine("[V4l2FrameReader] %s: could not start streaming: %s", m_device->Path().c_str(),
            ErrorText(error).c_str());
    return StatusOf(error);
}

void V4l2FrameReader::Stop() {
    if (!m_queue)
        return;
    m_stopping = true;
    m_wake.Set();
    if (m_thread.joinable())
        m_thread.join();
    const int error = m_queue->StreamOff();
    m_queue.reset();
    m_sink = nullptr;
    m_ended = nullptr;
    // An unplugged device has stopped already.
    if (error != 0 && error != ENODEV)
        throw CameraError(error, m_device->Describe(error));
}

void V4l2FrameReader::Run() {
    pollfd fds[2] = {{.fd = m_device->Fd(), .events = POLLIN, .revents = 0},
                     {.fd = m_wake.Fd(), .events = POLLIN, .revents = 0}};
    while (!m_stopping) {
        fds[0].revents = fds[1].revents = 0;
        const SyscallResult polled = m_device->Syscalls().Poll(fds, kPollTimeoutMs);
        if (polled.error == EINTR)
            continue;
        if (polled.Failed()) {
            EndStream(polled.error);
            return;
        }
        if (m_stopping)
            return;
        const bool hungUp = (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        if (!hungUp && (fds[0].revents & POLLIN) == 0)
            continue;
        if (TakeReadyFrames(hungUp) == Flow::kEnded)
            return;
    }
}

V4l2FrameReader::Flow V4l2FrameReader::TakeReadyFrames(bool hungUp) {
    // Realtime delivery keeps only the newest of the frames that are ready.
    std::optional<V4l2BufferQueue::Buffer> newest;
    bool tookAny = false;
    while (!m_stopping) {
        V4l2BufferQueue::Buffer buffer;
        const int error = m_queue->Dequeue(&buffer);
        if (error == EAGAIN)
            break;
        if (error == EIO && !hungUp) {
            LogSkipped();
            if (const int lost = m_queue->RequeueLost())
                return EndStream(lost);
            // Back to poll: a queue that failed for good makes it say so.
            break;
        }
        if (error != 0)
            return EndStream(hungUp ? ENODEV : error);
        tookAny = true;
        if ((buffer.flags & V4L2_BUF_FLAG_ERROR) != 0) {
            LogSkipped();
            if (Requeue(buffer.index) == Flow::kEnded)
                return Flow::kEnded;
            continue;
        }
        if (m_buffered) {
            if (Deliver(buffer) == Flow::kEnded)
                return Flow::kEnded;
            continue;
        }
        if (newest && Requeue(newest->index) == Flow::kEnded)
            return Flow::kEnded;
        newest = buffer;
    }
    if (newest)
        return Deliver(*newest);
    // An error or hang-up with nothing to dequeue: the device is gone.
    if (hungUp && !tookAny)
        return EndStream(ENODEV);
    return Flow::kGoOn;
}

V4l2FrameReader::Flow V4l2FrameReader::Deliver(const V4l2BufferQueue::Buffer& buffer) {
    if (!m_stopping) {
        Frame frame{
            .data = nullptr, .stride = 0, .width = m_format.width, .height = m_format.height};
        if (buffer.bytesUsed >= m_frameBytes)
            frame = m_decoder.Decode(m_format, buffer.data, buffer.bytesUsed);
        m_sink(frame);
    }
    return Requeue(buffer.index);
}

V4l2FrameReader::Flow V4l2FrameReader::Requeue(uint32_t index) {
    const int error = m_queue->Queue(index);
    return error == 0 ? Flow::kGoOn : EndStream(error);
}

V4l2FrameReader::Flow V4l2FrameReader::EndStream(int error) {
    // A call failing once the stop has begun is most likely the owner closing the device under a
    // stop it gave up waiting for, not a failure of the stream.
    if (m_stopping)
        return Flow::kEnded;
    const bool unplugged = error == ENODEV;
    if (unplugged)
        LogLine("[V4l2FrameReader] %s was disconnected", m_device->Path().c_str());
    else
        LogLine("[V4l2FrameReader] %s stopped delivering frames: %s", m_device->Path().c_str(),
                ErrorText(error).c_str());
    if (m_ended)
        m_ended(unplugged ? "the camera was disconnected" : "the camera stopped delivering frames");
    return Flow::kEnded;
}

void V4l2FrameReader::LogSkipped() {
    if (m_skippedLog())
        LogLine("[V4l2FrameReader] %s: skipped a frame the driver marked damaged",
                m_device->Path().c_str());
}

}  // namespace tamro::platform::camera
