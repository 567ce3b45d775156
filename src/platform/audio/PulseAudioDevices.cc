#include "platform/audio/PulseAudioDevices.h"

#include <cstdlib>
#include <functional>
#include <vector>

#include "platform/audio/ProcessTree.h"
#include "platform/audio/PulseProcessLoopbackEndpoint.h"
#include "platform/audio/PulseSourceEndpoint.h"

namespace tamro::platform {
namespace {

template <typename Info>
using InfoCallback = void (*)(pa_context*, const Info*, int, void*);

// Runs one of libpulse's info queries (by name or list) and hands each entry to `each`; false
// when the server did not finish within the limit.
template <typename Info>
bool RunInfoQuery(PulseConnection& connection,
                  const std::function<pa_operation*(InfoCallback<Info>, void*)>& start,
                  const std::function<void(const Info&)>& each, std::chrono::milliseconds limit) {
    struct State {
        PulseConnection* connection;
        const std::function<void(const Info&)>* each;
    } state{&connection, &each};
    const InfoCallback<Info> callback = [](pa_context*, const Info* info, int eol, void* data) {
        auto* s = static_cast<State*>(data);
        if (eol == 0 && info != nullptr) {
            (*s->each)(*info);
        } else {
            s->connection->Signal();
        }
    };
    return connection.WaitOperation(start(callback, &state), limit);
}

}  // namespace

uint32_t PulseAudioDevices::Connect(std::unique_ptr<AudioDevices>* devices) {
    std::shared_ptr<PulseConnection> connection;
    const uint32_t result = PulseConnection::Connect(&connection);
    if (AudioFailed(result)) {
        return result;
    }
    *devices = std::make_unique<PulseAudioDevices>(std::move(connection));
    return kAudioOk;
}

PulseAudioDevices::PulseAudioDevices(std::shared_ptr<PulseConnection> connection)
    : m_connection(std::move(connection)) {}

std::optional<PulseAudioDevices::ServerDefaults> PulseAudioDevices::QueryServer() {
    struct State {
        PulseConnection* connection;
        std::optional<ServerDefaults> defaults;
    } state{m_connection.get(), std::nullopt};
    pa_operation* op = pa_context_get_server_info(
        m_connection->Context(),
        [](pa_context*, const pa_server_info* info, void* data) {
            auto* s = static_cast<State*>(data);
            if (info != nullptr) {
                s->defaults = ServerDefaults{
                    .sink = info->default_sink_name ? info->default_sink_name : "",
                    .source = info->default_source_name ? info->default_source_name : "",
                    .sampleRate = info->sample_spec.rate};
            }
            s->connection->Signal();
        },
        &state);
    if (!m_connection->WaitOperation(op, PulseConnection::kServerTimeout)) {
        return std::nullopt;
    }
    return state.defaults;
}

std::optional<PulseAudioDevices::SourceSummary> PulseAudioDevices::QuerySource(
    const std::string& name) {
    if (name.empty()) {
        return std::nullopt;
    }
    std::optional<SourceSummary> found;
    RunInfoQuery<pa_source_info>(
        *m_connection,
        [&](InfoCallback<pa_source_info> callback, void* data) {
            return pa_context_get_source_info_by_name(m_connection->Context(), name.c_str(),
                                                      callback, data);
        },
        [&](const pa_source_info& info) {
            found = SourceSummary{.sampleRate = info.sample_spec.rate,
                                  .channels = info.sample_spec.channels,
                                  .isMonitor = info.monitor_of_sink != PA_INVALID_INDEX};
        },
        PulseConnection::kServerTimeout);
    return found;
}

std::optional<std::string> PulseAudioDevices::QueryFirstSource() {
    std::optional<std::string> real;
    std::optional<std::string> any;
    RunInfoQuery<pa_source_info>(
        *m_connection,
        [&](InfoCallback<pa_source_info> callback, void* data) {
            return pa_context_get_source_info_list(m_connection->Context(), callback, data);
        },
        [&](const pa_source_info& info) {
            if (!any) {
                any = info.name;
            }
            if (!real && info.monitor_of_sink == PA_INVALID_INDEX) {
                real = info.name;
            }
        },
        PulseConnection::kServerTimeout);
    return real ? real : any;
}

uint32_t PulseAudioDevices::GetDefaultRenderDevice(AudioDeviceRef* device) {
    PulseConnection::Lock lock(*m_connection);
    const std::optional<ServerDefaults> defaults = QueryServer();
    if (!defaults || defaults->sink.empty()) {
        return kAudioNotFound;
    }
    std::optional<std::string> monitor;
    RunInfoQuery<pa_sink_info>(
        *m_connection,
        [&](InfoCallback<pa_sink_info> callback, void* data) {
            return pa_context_get_sink_info_by_name(m_connection->Context(), defaults->sink.c_str(),
                                                    callback, data);
        },
        [&](const pa_sink_info& info) {
            if (info.monitor_source_name != nullptr) {
                monitor = info.monitor_source_name;
            }
        },
        PulseConnection::kServerTimeout);
    if (!monitor) {
        return kAudioNotFound;
    }
    *device = AudioDeviceRef{.id = *monitor, .loopback = true, .defaultOutput = defaults->sink};
    return kAudioOk;
}

uint32_t PulseAudioDevices::GetCaptureDevice(const std::string& id, AudioDeviceRef* device) {
    PulseConnection::Lock lock(*m_connection);
    if (!QuerySource(id)) {
        return kAudioNotFound;
    }
    *device = AudioDeviceRef{.id = id, .loopback = false};
    return kAudioOk;
}

uint32_t PulseAudioDevices::GetDefaultCaptureDevice(CaptureRole role, AudioDeviceRef* device) {
    PulseConnection::Lock lock(*m_connection);
    const std::optional<ServerDefaults> defaults = QueryServer();
    if (defaults && QuerySource(defaults->source)) {
        *device = AudioDeviceRef{.id = defaults->source, .loopback = false};
        return kAudioOk;
    }
    if (role == CaptureRole::kMultimedia) {
        if (std::optional<std::string> first = QueryFirstSource()) {
            *device = AudioDeviceRef{.id = *first, .loopback = false};
            return kAudioOk;
        }
    }
    return kAudioNotFound;
}

uint32_t PulseAudioDevices::Activate(const AudioDeviceRef& device,
                                     std::unique_ptr<AudioEndpoint>* endpoint) {
    PulseConnection::Lock lock(*m_connection);
    const std::optional<SourceSummary> source = QuerySource(device.id);
    if (!source || source->sampleRate == 0 || source->channels == 0) {
        return kAudioDeviceInvalidated;
    }
    *endpoint = std::make_unique<PulseSourceEndpoint>(m_connection, device.id, source->sampleRate,
                                                      source->channels, source->isMonitor,
                                                      device.defaultOutput);
    return kAudioOk;
}

uint32_t PulseAudioDevices::ActivateProcessLoopback(uint32_t pid, std::chrono::milliseconds limit,
                                                    std::unique_ptr<AudioEndpoint>* endpoint) {
    PulseConnection::Lock lock(*m_connection);
    std::vector<uint32_t> inputs;
    const bool answered = RunInfoQuery<pa_sink_input_info>(
        *m_connection,
        [&](InfoCallback<pa_sink_input_info> callback, void* data) {
            return pa_context_get_sink_input_info_list(m_connection->Context(), callback, data);
        },
        [&](const pa_sink_input_info& info) {
            if (IsInProcessTree(SinkInputProcessId(info), pid)) {
                inputs.push_back(info.index);
            }
        },
        limit);
    if (!answered) {
        return kAudioTimeout;
    }
    if (inputs.empty()) {
        return kAudioNotFound;
    }
    const std::optional<ServerDefaults> defaults = QueryServer();
    const uint32_t rate = defaults && defaults->sampleRate != 0 ? defaults->sampleRate : 48000;
    *endpoint =
        std::make_unique<PulseProcessLoopbackEndpoint>(m_connection, pid, rate, std::move(inputs));
    return kAudioOk;
}

uint32_t PulseAudioDevices::ListDevices(AudioDeviceList* list) {
    PulseConnection::Lock lock(*m_connection);
    const std::optional<ServerDefaults> defaults = QueryServer();
    if (!defaults) {
        return kAudioTimeout;
    }
    AudioDeviceList found;
    found.defaultCapture = defaults->source;
    found.defaultRender = defaults->sink;
    // Sources and sinks carry a name and a description alike.
    const auto into = [](std::vector<AudioDeviceInfo>& devices) {
        return [&devices](const auto& info) {
            devices.push_back({info.name, info.description != nullptr ? info.description : ""});
        };
    };
    const bool sources = RunInfoQuery<pa_source_info>(
        *m_connection,
        [&](InfoCallback<pa_source_info> callback, void* data) {
            return pa_context_get_source_info_list(m_connection->Context(), callback, data);
        },
        into(found.captureDevices), PulseConnection::kServerTimeout);
    const bool sinks = RunInfoQuery<pa_sink_info>(
        *m_connection,
        [&](InfoCallback<pa_sink_info> callback, void* data) {
            return pa_context_get_sink_info_list(m_connection->Context(), callback, data);
        },
        into(found.renderDevices), PulseConnection::kServerTimeout);
    if (!sources || !sinks) {
        return kAudioTimeout;
    }
    *list = std::move(found);
    return kAudioOk;
}

}  // namespace tamro::platform
