#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "platform/media/BoundedQueue.h"
#include "platform/media/FfmpegHandles.h"
#include "platform/media/MediaSample.h"

namespace tamro::platform::media {

// Hands an encoded packet (times in the codec's time base) to the muxer.
using PacketSink = std::function<ResultCode(AVPacket* packet, AVRational timeBase)>;

// One stream's encoder on its own thread behind a bounded queue, so that writers never wait for
// the codec. Derived classes turn a sample into frames and send them with SendFrame.
// Threading: Submit from one writer thread at a time; Drain from the owner; the encoding thread
// is internal and joined by Drain or the destructor.
class StreamEncoder {
  public:
    StreamEncoder(CodecContextPtr context, size_t queueCapacity, bool waitWhenFull);
    virtual ~StreamEncoder();

    StreamEncoder(const StreamEncoder&) = delete;
    StreamEncoder& operator=(const StreamEncoder&) = delete;

    AVCodecContext* Context() const { return m_context.get(); }

    void Start(PacketSink sink);
    // Queues the sample; fails with the encoder's error once encoding has failed, kQueueFull
    // when the queue is full and the writer does not wait, kShutdown after Drain.
    ResultCode Submit(MediaSample sample);
    // Encodes what is queued, flushes the codec and ends the thread; the first error seen.
    ResultCode Drain();

  protected:
    virtual ResultCode Encode(MediaSample& sample) = 0;
    // Called once after the last sample, before the codec is flushed.
    virtual ResultCode FinishInput() { return kOk; }
    // Sends one frame (null flushes) and passes every packet the codec has ready to the sink.
    ResultCode SendFrame(const AVFrame* frame);

  private:
    void Run();
    void Fail(ResultCode result);

    CodecContextPtr m_context;
    PacketPtr m_packet;
    BoundedQueue<MediaSample> m_queue;
    bool m_waitWhenFull;
    PacketSink m_sink;
    std::atomic<ResultCode> m_error{kOk};
    std::atomic<bool> m_abandoned{false};
    std::thread m_thread;
};

}  // namespace tamro::platform::media
