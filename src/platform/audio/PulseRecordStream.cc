#include "platform/audio/PulseRecordStream.h"

#include "platform/audio/AudioResult.h"

namespace tamro::platform {

std::unique_ptr<PulseRecordStream> PulseRecordStream::Create(
    std::shared_ptr<PulseConnection> connection, const Options& options, DataHandler handler,
    uint32_t* result) {
    *result = kAudioFail;
    const pa_sample_spec sampleFormat{
        .format = PA_SAMPLE_FLOAT32LE, .rate = options.sampleRate, .channels = options.channels};
    if (!pa_sample_spec_valid(&sampleFormat)) {
        *result = kAudioUnsupportedFormat;
        return nullptr;
    }
    pa_channel_map map;
    pa_channel_map_init_extend(&map, options.channels, PA_CHANNEL_MAP_DEFAULT);
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, "Tamro capture");
    if (options.suppressFilters) {
        pa_proplist_sets(properties, PA_PROP_FILTER_SUPPRESS, "echo-cancel");
    }
    pa_stream* stream = pa_stream_new_with_proplist(connection->Context(), "Tamro capture",
                                                    &sampleFormat, &map, properties);
    pa_proplist_free(properties);
    if (stream == nullptr) {
        return nullptr;
    }
    auto created =
        std::make_unique<PulseRecordStream>(connection, stream, std::move(handler), options.failed);
    if (options.sinkInput != PA_INVALID_INDEX &&
        pa_stream_set_monitor_stream(stream, options.sinkInput) < 0) {
        return nullptr;
    }
    const uint32_t fragmentBytes = static_cast<uint32_t>(pa_usec_to_bytes(
        static_cast<pa_usec_t>(options.fragment.count()) * PA_USEC_PER_MSEC, &sampleFormat));
    const pa_buffer_attr attributes{.maxlength = static_cast<uint32_t>(-1),
                                    .tlength = static_cast<uint32_t>(-1),
                                    .prebuf = static_cast<uint32_t>(-1),
                                    .minreq = static_cast<uint32_t>(-1),
                                    .fragsize = fragmentBytes};
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING |
        (options.stayOnSource ? PA_STREAM_DONT_MOVE : 0));
    const char* device = options.source.empty() ? nullptr : options.source.c_str();
    if (pa_stream_connect_record(stream, device, &attributes, flags) < 0) {
        *result = kAudioDeviceInvalidated;
        return nullptr;
    }
    *result = kAudioOk;
    return created;
}

PulseRecordStream::PulseRecordStream(std::shared_ptr<PulseConnection> connection, pa_stream* stream,
                                     DataHandler handler, std::function<void()> failed)
    : m_connection(std::move(connection)),
      m_stream(stream),
      m_handler(std::move(handler)),
      m_failed(std::move(failed)) {
    pa_stream_set_state_callback(m_stream, &PulseRecordStream::OnStateChanged, this);
    pa_stream_set_read_callback(m_stream, &PulseRecordStream::OnRead, this);
}

PulseRecordStream::~PulseRecordStream() {
    pa_stream_set_state_callback(m_stream, nullptr, nullptr);
    pa_stream_set_read_callback(m_stream, nullptr, nullptr);
    if (pa_stream_get_state(m_stream) == PA_STREAM_READY ||
        pa_stream_get_state(m_stream) == PA_STREAM_CREATING) {
        pa_stream_disconnect(m_stream);
    }
    pa_stream_unref(m_stream);
}

void PulseRecordStream::OnStateChanged(pa_stream* stream, void* self) {
    auto* recorder = static_cast<PulseRecordStream*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY) {
        recorder->m_wasReady = true;
    } else if (state == PA_STREAM_FAILED && recorder->m_wasReady && recorder->m_failed) {
        recorder->m_failed();
    }
    recorder->m_connection->Signal();
}

bool PulseRecordStream::WaitReady(std::chrono::milliseconds limit) {
    m_connection->WaitFor(
        [this] {
            const pa_stream_state_t state = pa_stream_get_state(m_stream);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        },
        limit);
    return pa_stream_get_state(m_stream) == PA_STREAM_READY;
}

bool PulseRecordStream::WaitForData(std::chrono::milliseconds limit) {
    m_connection->WaitFor([this] { return m_hasData || HasFailed(); }, limit);
    return m_hasData;
}

bool PulseRecordStream::HasFailed() const {
    return !PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream));
}

bool PulseRecordStream::Cork(bool corked) {
    pa_operation* op = pa_stream_cork(m_stream, corked ? 1 : 0, nullptr, nullptr);
    if (op == nullptr) {
        return false;
    }
    pa_operation_unref(op);
    return true;
}

// The source's own latency and the transport's, from the server's last timing report. What waits
// in the stream's buffer is left out: the capture drains it as it comes, and until the stream has
// run for a while it reads stale, over 100 ms on a stream just uncorked.
uint32_t PulseRecordStream::Latency(int64_t* latency100ns) const {
    const pa_timing_info* timing = pa_stream_get_timing_info(m_stream);
    if (timing == nullptr) {
        return kAudioNotInitialized;
    }
    *latency100ns = static_cast<int64_t>(timing->source_usec + timing->transport_usec) * 10;
    return kAudioOk;
}

void PulseRecordStream::OnRead(pa_stream* stream, size_t, void* self) {
    auto* owner = static_cast<PulseRecordStream*>(self);
    if (!owner->m_hasData) {
        owner->m_hasData = true;
        owner->m_connection->Signal();
    }
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
            return;
        }
        owner->m_handler(data, bytes);
        pa_stream_drop(stream);
    }
}

}  // namespace tamro::platform
