#include "platform/audio/PulseProcessLoopbackEndpoint.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/audio/ProcessTree.h"
#include "platform/system/SteadyClock.h"

namespace tamro::platform {
namespace {

// Summed audio the engine has not taken within this long is dropped, oldest first.
constexpr uint32_t kBacklogSeconds = 1;

}  // namespace

PulseProcessLoopbackEndpoint::PulseProcessLoopbackEndpoint(
    std::shared_ptr<PulseConnection> connection, uint32_t pid, uint32_t sampleRate,
    std::vector<uint32_t> sinkInputs)
    : m_connection(std::move(connection)),
      m_pid(pid),
      m_format{
          .sampleRate = sampleRate, .channels = kChannels, .bitsPerSample = 32, .isFloat = true},
      m_initialInputs(std::move(sinkInputs)) {}

PulseProcessLoopbackEndpoint::~PulseProcessLoopbackEndpoint() {
    PulseConnection::Lock lock(*m_connection);
    if (m_listener != 0) {
        m_connection->RemoveListener(m_listener);
    }
    for (pa_operation* operation : m_pending) {
        // A query still out must not call back into a destroyed endpoint.
        pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
    m_streams.clear();
}

uint32_t PulseProcessLoopbackEndpoint::GetMixFormat(AudioFormat* format) {
    *format = m_format;
    return kAudioOk;
}

uint32_t PulseProcessLoopbackEndpoint::Initialize(std::chrono::milliseconds) {
    PulseConnection::Lock lock(*m_connection);
    if (m_listener != 0) {
        return kAudioAlreadyInitialized;
    }
    m_listener = m_connection->AddListener(
        PA_SUBSCRIPTION_MASK_SINK_INPUT, [this](pa_subscription_event_type_t type, uint32_t index) {
            OnSinkInputEvent(type, index);
        });
    for (uint32_t sinkInput : m_initialInputs) {
        AddInput(sinkInput);
    }
    // An input that ended between the query and now is not a failure as long as one is left.
    for (auto it = m_streams.begin(); it != m_streams.end();) {
        if (it->second->WaitReady(PulseConnection::kServerTimeout)) {
            ++it;
            continue;
        }
        std::lock_guard mixLock(m_mutex);
        m_writeFrames.erase(it->first);
        it = m_streams.erase(it);
    }
    // The streams record from now on, so that the sound of the capture's first moment is
    // delivered by the time it starts; what comes before is dropped.
    const auto deadline = std::chrono::steady_clock::now() + PulseRecordStream::kFirstDataWait;
    for (auto& entry : m_streams) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        entry.second->WaitForData(std::max(left, std::chrono::milliseconds(0)));
    }
    return m_streams.empty() ? kAudioDeviceInvalidated : kAudioOk;
}

bool PulseProcessLoopbackEndpoint::AddInput(uint32_t sinkInput) {
    if (m_streams.contains(sinkInput)) {
        return true;
    }
    uint32_t result = kAudioFail;
    auto stream = PulseRecordStream::Create(
        m_connection,
        PulseRecordStream::Options{.source = {},
                                   .sampleRate = m_format.sampleRate,
                                   .channels = kChannels,
                                   .sinkInput = sinkInput},
        [this, sinkInput](const void* data, size_t bytes) {
            std::lock_guard lock(m_mutex);
            MixIn(sinkInput, data, bytes);
        },
        &result);
    if (!stream) {
        return false;
    }
    {
        std::lock_guard lock(m_mutex);
        m_writeFrames[sinkInput] = 0;
    }
    m_streams.emplace(sinkInput, std::move(stream));
    return true;
}

void PulseProcessLoopbackEndpoint::RemoveInput(uint32_t sinkInput) {
    {
        std::lock_guard lock(m_mutex);
        m_writeFrames.erase(sinkInput);
    }
    m_streams.erase(sinkInput);
}

void PulseProcessLoopbackEndpoint::Track(pa_operation* operation) {
    std::erase_if(m_pending, [](pa_operation* op) {
        if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
            return false;
        }
        pa_operation_unref(op);
        return true;
    });
    if (operation != nullptr) {
        m_pending.push_back(operation);
    }
}

void PulseProcessLoopbackEndpoint::OnSinkInputEvent(pa_subscription_event_type_t type,
                                                    uint32_t index) {
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
        RemoveInput(index);
        return;
    }
    if (kind != PA_SUBSCRIPTION_EVENT_NEW) {
        return;
    }
    Track(pa_context_get_sink_input_info(
        m_connection->Context(), index,
        [](pa_context*, const pa_sink_input_info* info, int eol, void* self) {
            auto* endpoint = static_cast<PulseProcessLoopbackEndpoint*>(self);
            if (eol == 0 && info != nullptr &&
                IsInProcessTree(SinkInputProcessId(*info), endpoint->m_pid)) {
                endpoint->AddInput(info->index);
            }
        },
        this));
}

void PulseProcessLoopbackEndpoint::MixIn(uint32_t sinkInput, const void* data, size_t bytes) {
    if (!m_running) {
        return;
    }
    const auto cursor = m_writeFrames.find(sinkInput);
    if (cursor == m_writeFrames.end()) {
        return;
    }
    const size_t frames = bytes / m_format.BytesPerFrame();
    const size_t begin = cursor->second * kChannels;
    const size_t end = begin + frames * kChannels;
    if (m_mix.size() < end) {
        m_mix.resize(end, 0.0f);
    }
    if (data != nullptr) {
        const auto* samples = static_cast<const float*>(data);
        for (size_t i = begin; i < end; ++i) {
            m_mix[i] += samples[i - begin];
        }
    }
    cursor->second += frames;
    TrimBacklog();
    if (m_wake) {
        m_wake->Set();
    }
}

void PulseProcessLoopbackEndpoint::TrimBacklog() {
    const size_t maxFrames = static_cast<size_t>(m_format.sampleRate) * kBacklogSeconds;
    const size_t frames = m_mix.size() / kChannels;
    if (frames <= maxFrames) {
        return;
    }
    const size_t excess = frames - maxFrames;
    m_mix.erase(m_mix.begin(), m_mix.begin() + static_cast<ptrdiff_t>(excess * kChannels));
    for (auto& entry : m_writeFrames) {
        entry.second -= std::min(entry.second, excess);
    }
    m_deliveredFrames += excess;
    m_lostBefore = true;
}

uint32_t PulseProcessLoopbackEndpoint::SetWakeEvent(std::shared_ptr<WakeEvent> event) {
    std::lock_guard lock(m_mutex);
    m_wake = std::move(event);
    return kAudioOk;
}

uint32_t PulseProcessLoopbackEndpoint::Start() {
    {
        std::lock_guard lock(m_mutex);
        m_mix.clear();
        m_packetFrames = 0;
        for (auto& entry : m_writeFrames) {
            entry.second = 0;
        }
    }
    PulseConnection::Lock lock(*m_connection);
    if (m_listener == 0) {
        return kAudioNotInitialized;
    }
    m_running = true;
    return kAudioOk;
}

uint32_t PulseProcessLoopbackEndpoint::Stop() {
    PulseConnection::Lock lock(*m_connection);
    m_running = false;
    return kAudioOk;
}

uint32_t PulseProcessLoopbackEndpoint::GetNextPacketSize(uint32_t* frames) {
    std::lock_guard lock(m_mutex);
    if (m_packetFrames == 0) {
        // Everything any input has filled goes out; an input that lags adds into the next packet.
        size_t ready = 0;
        for (const auto& entry : m_writeFrames) {
            ready = std::max(ready, entry.second);
        }
        ready = std::min(ready, m_mix.size() / kChannels);
        if (ready > 0) {
            const auto count = static_cast<ptrdiff_t>(ready * kChannels);
            m_packet.assign(m_mix.begin(), m_mix.begin() + count);
            m_mix.erase(m_mix.begin(), m_mix.begin() + count);
            for (auto& entry : m_writeFrames) {
                entry.second -= std::min(entry.second, ready);
            }
            m_packetFrames = static_cast<uint32_t>(ready);
        }
    }
    *frames = m_packetFrames;
    // What arrived before the server went away is still delivered.
    return m_packetFrames == 0 && m_connection->Lost() ? kAudioServiceNotRunning : kAudioOk;
}

uint32_t PulseProcessLoopbackEndpoint::GetBuffer(AudioPacket* packet) {
    std::lock_guard lock(m_mutex);
    if (m_packetFrames == 0) {
        return kAudioFail;
    }
    *packet = AudioPacket{.data = reinterpret_cast<const uint8_t*>(m_packet.data()),
                          .frames = m_packetFrames,
                          .flags = m_lostBefore ? static_cast<uint32_t>(kPacketDiscontinuity) : 0u,
                          .devicePosition = m_deliveredFrames,
                          .clockPosition = static_cast<uint64_t>(SteadyClockNs() / 100)};
    return kAudioOk;
}

uint32_t PulseProcessLoopbackEndpoint::ReleaseBuffer(uint32_t frames) {
    std::lock_guard lock(m_mutex);
    if (m_packetFrames == 0 || frames != m_packetFrames) {
        return kAudioInvalidArgument;
    }
    m_deliveredFrames += frames;
    m_packetFrames = 0;
    m_lostBefore = false;
    return kAudioOk;
}

uint32_t PulseProcessLoopbackEndpoint::GetStreamLatency(int64_t* latency100ns) {
    PulseConnection::Lock lock(*m_connection);
    int64_t largest = 0;
    bool any = false;
    for (const auto& entry : m_streams) {
        int64_t latency = 0;
        if (entry.second->Latency(&latency) == kAudioOk) {
            largest = std::max(largest, latency);
            any = true;
        }
    }
    *latency100ns = largest;
    return any ? kAudioOk : kAudioNotInitialized;
}

}  // namespace tamro::platform
