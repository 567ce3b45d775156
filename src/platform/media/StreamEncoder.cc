#include "platform/media/StreamEncoder.h"

#include "platform/media/MediaTypes.h"

namespace tamro::platform::media {

StreamEncoder::StreamEncoder(CodecContextPtr context, size_t queueCapacity, bool waitWhenFull)
    : m_context(std::move(context)),
      m_packet(av_packet_alloc()),
      m_queue(queueCapacity),
      m_waitWhenFull(waitWhenFull) {}

StreamEncoder::~StreamEncoder() {
    m_abandoned.store(true);
    m_queue.Abort();
    if (m_thread.joinable())
        m_thread.join();
}

void StreamEncoder::Start(PacketSink sink) {
    m_sink = std::move(sink);
    m_thread = std::thread([this] { Run(); });
}

ResultCode StreamEncoder::Submit(MediaSample sample) {
    const ResultCode error = m_error.load();
    if (Failed(error))
        return error;
    switch (m_queue.Push(std::move(sample), m_waitWhenFull)) {
        case BoundedQueue<MediaSample>::PushResult::kPushed:
            return kOk;
        case BoundedQueue<MediaSample>::PushResult::kFull:
            return kQueueFull;
        case BoundedQueue<MediaSample>::PushResult::kFinished:
            break;
    }
    return Failed(m_error.load()) ? m_error.load() : kShutdown;
}

ResultCode StreamEncoder::Drain() {
    m_queue.Close();
    if (m_thread.joinable())
        m_thread.join();
    return m_error.load();
}

void StreamEncoder::Fail(ResultCode result) {
    ResultCode expected = kOk;
    m_error.compare_exchange_strong(expected, result);
    m_queue.Abort();
}

void StreamEncoder::Run() {
    if (!m_packet) {
        Fail(kOutOfMemory);
        return;
    }
    MediaSample sample;
    while (m_queue.Pop(&sample)) {
        const ResultCode result = Encode(sample);
        sample = MediaSample();
        if (Failed(result)) {
            Fail(result);
            return;
        }
    }
    // An abandoned stream is not flushed: its packets would have nowhere to go.
    if (Failed(m_error.load()) || m_abandoned.load())
        return;
    ResultCode result = FinishInput();
    if (Succeeded(result))
        result = SendFrame(nullptr);
    if (Failed(result))
        Fail(result);
}

ResultCode StreamEncoder::SendFrame(const AVFrame* frame) {
    int status = avcodec_send_frame(m_context.get(), frame);
    if (status < 0)
        return ResultFromAvError(status);
    while (true) {
        status = avcodec_receive_packet(m_context.get(), m_packet.get());
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
            return kOk;
        if (status < 0)
            return ResultFromAvError(status);
        const ResultCode written = m_sink(m_packet.get(), m_context->time_base);
        av_packet_unref(m_packet.get());
        if (Failed(written))
            return written;
    }
}

}  // namespace tamro::platform::media
