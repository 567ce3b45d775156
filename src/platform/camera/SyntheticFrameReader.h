#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/camera/CameraSystem.h"
#include "platform/camera/SyntheticPicture.h"
#include "platform/system/Clock.h"

namespace tamro::platform::camera {

// Delivers SyntheticPicture frames of a format's size at its rate, as a camera would: frame k is
// due k frame periods after Start, on the clock, so the schedule never drifts. When the sink is
// slow and later frames fall due meanwhile, a realtime reader skips to the newest of them (the
// frame numbers show the gap); a buffered one delivers them all, late.
// Threading: SetBuffered, Start and Stop from the owner's threads, one at a time. The sink runs
// on the reader's own thread, which Start starts and Stop joins; so Stop must not be called from
// the sink. The destructor stops the reader.
class SyntheticFrameReader final : public FrameReader {
  public:
    SyntheticFrameReader(const VideoFormat& format, std::shared_ptr<Clock> clock);
    ~SyntheticFrameReader() override;

    void SetBuffered(bool buffered) override { m_buffered = buffered; }
    // kUnknownFailure when already started or the format has no rate.
    ReaderStartStatus Start(FrameSink sink, StreamEndedSink ended) override;
    void Stop() override;

  private:
    void Run(FrameSink sink, int64_t startNs);
    // When frame `number` is due after a start at `startNs`.
    int64_t DueNs(int64_t startNs, uint64_t number) const;

    const VideoFormat m_format;
    const std::shared_ptr<Clock> m_clock;
    SyntheticPicture m_picture;  // the reader's thread's, once started
    std::atomic<bool> m_buffered{false};
    std::mutex m_mutex;
    std::condition_variable_any m_wake;
    bool m_stopping = false;  // under m_mutex
    std::thread m_thread;
};

}  // namespace tamro::platform::camera
