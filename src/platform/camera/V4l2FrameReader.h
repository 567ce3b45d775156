#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "diag/RateLimit.h"
#include "platform/audio/WakeEvent.h"
#include "platform/camera/CameraSystem.h"
#include "platform/camera/FrameDecoder.h"
#include "platform/camera/V4l2BufferQueue.h"
#include "platform/camera/V4l2Device.h"

namespace tamro::platform::camera {

// Streams a device's frames through memory-mapped buffers and hands each, decoded to BGRA, to the
// sink.
// Threading: Start, Stop and SetBuffered from the owner's threads, one at a time, never from the
// sinks. The frame sink and the stream-ended sink run on the reader's own thread, which exists
// between Start and Stop; Stop wakes it and joins it, so it may block for as long as a driver
// call the thread is in.
class V4l2FrameReader final : public FrameReader {
  public:
    static constexpr uint32_t kBufferCount = 4;
    // The thread waits for frames at most this long before it looks at the stop flag again, so a
    // lost wake-up delays Stop by no more than this.
    static constexpr int kPollTimeoutMs = 100;

    explicit V4l2FrameReader(std::shared_ptr<V4l2Device> device);
    ~V4l2FrameReader() override;

    void SetBuffered(bool buffered) override { m_buffered = buffered; }
    // Starting a started reader changes nothing.
    ReaderStartStatus Start(FrameSink sink, StreamEndedSink ended) override;
    void Stop() override;

  private:
    enum class Flow { kGoOn, kEnded };

    ReaderStartStatus StartStreaming();
    void Run();
    Flow TakeReadyFrames(bool hungUp);
    Flow Deliver(const V4l2BufferQueue::Buffer& buffer);
    Flow Requeue(uint32_t index);
    Flow EndStream(int error);
    void LogSkipped();

    std::shared_ptr<V4l2Device> m_device;
    std::atomic<bool> m_buffered{false};
    FrameDecoder m_decoder;
    WakeEvent m_wake{WakeEvent::Mode::kManualReset};
    EveryNth m_skippedLog{60};

    // Set by Start before the thread runs; read by the thread; reset by Stop after the join.
    VideoFormat m_format;
    uint32_t m_frameBytes = 0;  // an uncompressed frame's size; 0 for compressed formats
    FrameSink m_sink;
    StreamEndedSink m_ended;
    std::unique_ptr<V4l2BufferQueue> m_queue;

    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

}  // namespace tamro::platform::camera
