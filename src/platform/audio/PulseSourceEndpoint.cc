#include "platform/audio/PulseSourceEndpoint.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/system/SteadyClock.h"

namespace tamro::platform {
namespace {

// What the engine does not take within this long is dropped, oldest first, and the next packet is
// flagged; a capture thread stalled longer has lost the audio anyway.
constexpr uint32_t kQueueSeconds = 1;

}  // namespace

PulseSourceEndpoint::PulseSourceEndpoint(std::shared_ptr<PulseConnection> connection,
                                         std::string source, uint32_t sampleRate, uint8_t channels,
                                         bool isMonitor, std::string defaultOutput)
    : m_connection(std::move(connection)),
      m_source(std::move(source)),
      m_defaultOutput(std::move(defaultOutput)),
      m_format{
          .sampleRate = sampleRate, .channels = channels, .bitsPerSample = 32, .isFloat = true},
      m_maxQueuedFrames(static_cast<uint64_t>(sampleRate) * kQueueSeconds),
      m_isMonitor(isMonitor) {}

PulseSourceEndpoint::~PulseSourceEndpoint() {
    PulseConnection::Lock lock(*m_connection);
    if (m_serverListener != 0) {
        m_connection->RemoveListener(m_serverListener);
    }
    CancelServerQuery();
    m_stream.reset();
}

uint32_t PulseSourceEndpoint::GetMixFormat(AudioFormat* format) {
    *format = m_format;
    return kAudioOk;
}

uint32_t PulseSourceEndpoint::SetStreamMode(bool raw) {
    m_raw = raw;
    return kAudioOk;
}

uint32_t PulseSourceEndpoint::Initialize(std::chrono::milliseconds) {
    PulseConnection::Lock lock(*m_connection);
    if (m_stream) {
        return kAudioAlreadyInitialized;
    }
    uint32_t result = kAudioFail;
    m_stream = PulseRecordStream::Create(
        m_connection,
        PulseRecordStream::Options{.source = m_source,
                                   .sampleRate = m_format.sampleRate,
                                   .channels = static_cast<uint8_t>(m_format.channels),
                                   .suppressFilters = m_raw,
                                   .stayOnSource = true,
                                   .failed = [this] { OnStreamFailed(); }},
        [this](const void* data, size_t bytes) { OnData(data, bytes); }, &result);
    if (!m_stream) {
        return result;
    }
    if (!m_stream->WaitReady(PulseConnection::kServerTimeout)) {
        m_stream.reset();
        return kAudioDeviceInvalidated;
    }
    // The stream records from now on, so that the sound of the capture's first moment is
    // delivered by the time it starts; what comes before is dropped. Only a monitor holds a new
    // stream back: a microphone that gives nothing yet (a silent pipe, a suspended device) would
    // only delay the start.
    if (m_isMonitor) {
        m_stream->WaitForData(PulseRecordStream::kFirstDataWait);
    }
    if (!m_defaultOutput.empty()) {
        m_serverListener = m_connection->AddListener(
            PA_SUBSCRIPTION_MASK_SERVER,
            [this](pa_subscription_event_type_t, uint32_t) { QueryDefaultOutput(); });
    }
    return kAudioOk;
}

void PulseSourceEndpoint::OnStreamFailed() {
    std::lock_guard lock(m_mutex);
    m_deviceGone = true;
    if (m_wake) {
        m_wake->Set();
    }
}

// A query still running answers for the server as it was; the newest one counts.
void PulseSourceEndpoint::QueryDefaultOutput() {
    CancelServerQuery();
    m_serverQuery = pa_context_get_server_info(m_connection->Context(),
                                               &PulseSourceEndpoint::OnServerInfo, this);
}

void PulseSourceEndpoint::OnServerInfo(pa_context*, const pa_server_info* info, void* self) {
    auto* endpoint = static_cast<PulseSourceEndpoint*>(self);
    endpoint->CancelServerQuery();
    if (info == nullptr || info->default_sink_name == nullptr ||
        endpoint->m_defaultOutput == info->default_sink_name) {
        return;
    }
    std::lock_guard lock(endpoint->m_mutex);
    endpoint->m_defaultMoved = true;
    if (endpoint->m_wake) {
        endpoint->m_wake->Set();
    }
}

void PulseSourceEndpoint::CancelServerQuery() {
    if (m_serverQuery != nullptr) {
        pa_operation_cancel(m_serverQuery);
        pa_operation_unref(m_serverQuery);
        m_serverQuery = nullptr;
    }
}

uint32_t PulseSourceEndpoint::SetWakeEvent(std::shared_ptr<WakeEvent> event) {
    std::lock_guard lock(m_mutex);
    m_wake = std::move(event);
    return kAudioOk;
}

uint32_t PulseSourceEndpoint::Start() {
    PulseConnection::Lock lock(*m_connection);
    if (!m_stream) {
        return kAudioNotInitialized;
    }
    {
        std::lock_guard queueLock(m_mutex);
        m_queue.clear();
        m_queuedFrames = 0;
        m_holding = false;
        m_started = true;
    }
    if (m_corked && !m_stream->Cork(false)) {
        return kAudioDeviceInvalidated;
    }
    m_corked = false;
    return kAudioOk;
}

uint32_t PulseSourceEndpoint::Stop() {
    PulseConnection::Lock lock(*m_connection);
    if (!m_stream) {
        return kAudioNotInitialized;
    }
    {
        std::lock_guard queueLock(m_mutex);
        m_started = false;
    }
    m_corked = true;
    return m_stream->Cork(true) ? kAudioOk : kAudioDeviceInvalidated;
}

void PulseSourceEndpoint::OnData(const void* data, size_t bytes) {
    const uint32_t frames = static_cast<uint32_t>(bytes / m_format.BytesPerFrame());
    if (frames == 0) {
        return;
    }
    Packet packet{.bytes = {},
                  .frames = frames,
                  .flags = data == nullptr ? static_cast<uint32_t>(kPacketSilent) : 0u,
                  .clockPosition = static_cast<uint64_t>(SteadyClockNs() / 100)};
    if (data != nullptr) {
        const auto* begin = static_cast<const uint8_t*>(data);
        packet.bytes.assign(begin, begin + static_cast<size_t>(frames) * m_format.BytesPerFrame());
    }
    std::lock_guard lock(m_mutex);
    if (!m_started) {
        return;
    }
    // The packet being read stays; older unread ones go.
    while (m_queuedFrames + frames > m_maxQueuedFrames && m_queue.size() > (m_holding ? 1u : 0u)) {
        auto victim = m_holding ? std::next(m_queue.begin()) : m_queue.begin();
        m_queuedFrames -= victim->frames;
        m_queue.erase(victim);
        m_lostBefore = true;
    }
    packet.devicePosition = m_deliveredFrames;
    m_deliveredFrames += frames;
    if (m_lostBefore) {
        packet.flags |= kPacketDiscontinuity;
        m_lostBefore = false;
    }
    m_queuedFrames += frames;
    m_queue.push_back(std::move(packet));
    if (m_wake) {
        m_wake->Set();
    }
}

uint32_t PulseSourceEndpoint::GetNextPacketSize(uint32_t* frames) {
    std::lock_guard lock(m_mutex);
    *frames = m_queue.empty() ? 0 : m_queue.front().frames;
    // What arrived before the source ended is still delivered.
    if (!m_queue.empty()) {
        return kAudioOk;
    }
    if (m_connection->Lost()) {
        return kAudioServiceNotRunning;
    }
    if (m_deviceGone) {
        return kAudioDeviceInvalidated;
    }
    return std::exchange(m_defaultMoved, false) ? kAudioDefaultDeviceChanged : kAudioOk;
}

uint32_t PulseSourceEndpoint::GetBuffer(AudioPacket* packet) {
    std::lock_guard lock(m_mutex);
    if (m_queue.empty()) {
        return kAudioFail;
    }
    const Packet& front = m_queue.front();
    m_holding = true;
    *packet = AudioPacket{.data = front.bytes.empty() ? nullptr : front.bytes.data(),
                          .frames = front.frames,
                          .flags = front.flags,
                          .devicePosition = front.devicePosition,
                          .clockPosition = front.clockPosition};
    return kAudioOk;
}

uint32_t PulseSourceEndpoint::ReleaseBuffer(uint32_t frames) {
    std::lock_guard lock(m_mutex);
    if (!m_holding || m_queue.empty() || m_queue.front().frames != frames) {
        return kAudioInvalidArgument;
    }
    m_queuedFrames -= frames;
    m_queue.pop_front();
    m_holding = false;
    return kAudioOk;
}

uint32_t PulseSourceEndpoint::GetStreamLatency(int64_t* latency100ns) {
    PulseConnection::Lock lock(*m_connection);
    if (!m_stream) {
        return kAudioNotInitialized;
    }
    return m_stream->Latency(latency100ns);
}

}  // namespace tamro::platform
