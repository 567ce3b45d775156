#include "platform/audio/PulseConnection.h"

#include <pulse/rtclock.h>

#include <cstdlib>

#include "platform/audio/AudioResult.h"

namespace tamro::platform {
namespace {

bool IsFinalState(pa_context_state_t state) {
    return state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED;
}

struct Deadline {
    PulseConnection* connection;
    bool passed = false;
};

}  // namespace

uint32_t PulseConnection::Connect(std::shared_ptr<PulseConnection>* connection) {
    auto opened = std::make_shared<PulseConnection>(PassKey());
    if (!opened->Open()) {
        return kAudioServiceNotRunning;
    }
    *connection = std::move(opened);
    return kAudioOk;
}

bool PulseConnection::Open() {
    m_loop = pa_threaded_mainloop_new();
    if (m_loop == nullptr) {
        return false;
    }
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "Tamro");
    if (m_context == nullptr) {
        return false;
    }
    pa_context_set_state_callback(
        m_context,
        [](pa_context* context, void* self) {
            auto* connection = static_cast<PulseConnection*>(self);
            if (IsFinalState(pa_context_get_state(context)) && connection->m_ready)
                connection->m_lost = true;
            connection->Signal();
        },
        this);
    // No autospawn: a recorder must not start an audio server as a side effect.
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return false;
    }
    if (pa_threaded_mainloop_start(m_loop) < 0) {
        return false;
    }
    Lock lock(*this);
    WaitFor([this] { return IsFinalState(pa_context_get_state(m_context)) || IsReady(); },
            kServerTimeout);
    m_ready = IsReady();
    return m_ready;
}

PulseConnection::~PulseConnection() {
    if (m_loop != nullptr) {
        pa_threaded_mainloop_stop(m_loop);
    }
    if (m_context != nullptr) {
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
    }
    if (m_loop != nullptr) {
        pa_threaded_mainloop_free(m_loop);
    }
}

bool PulseConnection::IsReady() const {
    return pa_context_get_state(m_context) == PA_CONTEXT_READY;
}

void PulseConnection::Signal() {
    pa_threaded_mainloop_signal(m_loop, 0);
}

bool PulseConnection::WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    Deadline deadline{.connection = this};
    const pa_usec_t when =
        pa_rtclock_now() + static_cast<pa_usec_t>(limit.count()) * PA_USEC_PER_MSEC;
    pa_time_event* timer = pa_context_rttime_new(
        m_context, when,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* state) {
            auto* d = static_cast<Deadline*>(state);
            d->passed = true;
            d->connection->Signal();
        },
        &deadline);
    if (timer == nullptr) {
        return done();
    }
    while (!done() && !deadline.passed && !IsFinalState(pa_context_get_state(m_context))) {
        pa_threaded_mainloop_wait(m_loop);
    }
    pa_threaded_mainloop_get_api(m_loop)->time_free(timer);
    return done();
}

bool PulseConnection::WaitOperation(pa_operation* operation, std::chrono::milliseconds limit) {
    if (operation == nullptr) {
        return false;
    }
    const bool finished = WaitFor(
        [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }, limit);
    if (!finished) {
        // Its callback must not run later against a caller's stack.
        pa_operation_cancel(operation);
    }
    pa_operation_unref(operation);
    return finished;
}

int PulseConnection::AddListener(pa_subscription_mask_t mask, EventListener listener) {
    pa_context_set_subscribe_callback(m_context, &PulseConnection::OnSubscription, this);
    // A subscription replaces the one before, so it asks for every facility listened to.
    if ((m_subscribedMask | mask) != m_subscribedMask) {
        m_subscribedMask |= mask;
        pa_operation* op = pa_context_subscribe(
            m_context, static_cast<pa_subscription_mask_t>(m_subscribedMask), nullptr, nullptr);
        if (op != nullptr) {
            pa_operation_unref(op);
        }
    }
    const int id = m_nextListenerId++;
    m_listeners.push_back({.id = id, .mask = mask, .handle = std::move(listener)});
    return id;
}

void PulseConnection::RemoveListener(int id) {
    std::erase_if(m_listeners, [id](const Listener& entry) { return entry.id == id; });
}

void PulseConnection::OnSubscription(pa_context*, pa_subscription_event_type_t type, uint32_t index,
                                     void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    const uint32_t facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    // A listener may remove itself while handling the event.
    const auto listeners = connection->m_listeners;
    for (const Listener& entry : listeners) {
        if ((entry.mask & (1u << facility)) != 0) {
            entry.handle(type, index);
        }
    }
}

uint32_t SinkInputProcessId(const pa_sink_input_info& info) {
    const char* value = pa_proplist_gets(info.proplist, PA_PROP_APPLICATION_PROCESS_ID);
    return value == nullptr ? 0 : static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
}

}  // namespace tamro::platform
