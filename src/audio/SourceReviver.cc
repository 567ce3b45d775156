#include "audio/SourceReviver.h"

#include <condition_variable>
#include <mutex>
#include <utility>

#include "diag/Log.h"

namespace tamro {

struct SourceReviver::State {
    State(platform::AudioDevicesConnector connect, std::shared_ptr<platform::WakeEvent> systemEvent,
          std::shared_ptr<platform::WakeEvent> micEvent, std::chrono::milliseconds period)
        : connect(std::move(connect)),
          systemEvent(std::move(systemEvent)),
          micEvent(std::move(micEvent)),
          period(period) {}

    const platform::AudioDevicesConnector connect;
    const std::shared_ptr<platform::WakeEvent> systemEvent;
    const std::shared_ptr<platform::WakeEvent> micEvent;
    const std::chrono::milliseconds period;

    std::mutex mutex;
    bool running = false;  // a thread is making attempts
    std::condition_variable changed;
    bool stopping = false;
    bool wantSystem = false;
    bool atOnce = false;
    uint32_t processPid = 0;
    std::optional<Microphone> wantMic;
    std::optional<AudioSourceOpener::Source> system;
    std::optional<AudioSourceOpener::Source> mic;

    bool Wanted() const { return wantSystem || wantMic.has_value(); }
};

SourceReviver::SourceReviver(platform::AudioDevicesConnector connect,
                             std::shared_ptr<platform::WakeEvent> systemEvent,
                             std::shared_ptr<platform::WakeEvent> micEvent,
                             std::chrono::milliseconds period)
    : m_state(std::make_shared<State>(std::move(connect), std::move(systemEvent),
                                      std::move(micEvent), period)) {}

SourceReviver::~SourceReviver() {
    Stop();
}

void SourceReviver::ReviveSystem(uint32_t processPid, bool atOnce) {
    std::unique_lock lock(m_state->mutex);
    m_state->wantSystem = true;
    m_state->processPid = processPid;
    m_state->atOnce = m_state->atOnce || atOnce;
    m_state->changed.notify_all();
    EnsureRunning(lock);
}

void SourceReviver::ReviveMicrophone(Microphone microphone) {
    std::unique_lock lock(m_state->mutex);
    m_state->wantMic = std::move(microphone);
    EnsureRunning(lock);
}

std::optional<AudioSourceOpener::Source> SourceReviver::TakeSystem() {
    std::lock_guard lock(m_state->mutex);
    return std::exchange(m_state->system, std::nullopt);
}

std::optional<AudioSourceOpener::Source> SourceReviver::TakeMicrophone() {
    std::lock_guard lock(m_state->mutex);
    return std::exchange(m_state->mic, std::nullopt);
}

void SourceReviver::Stop() {
    {
        std::lock_guard lock(m_state->mutex);
        m_state->stopping = true;
        m_state->wantSystem = false;
        m_state->wantMic.reset();
        m_state->changed.notify_all();
    }
    if (m_task) {
        platform::WaitOrAbandon(*m_task, kStopLimit,
                                "[AudioCapture] WARNING: Reconnect attempt still waiting on the "
                                "audio server \xE2\x80\x94 abandoning it");
        m_task.reset();
    }
    std::lock_guard lock(m_state->mutex);
    m_state->stopping = false;
    m_state->running = false;
    m_state->system.reset();
    m_state->mic.reset();
}

// A thread that found nothing more to do has ended, or is about to; a new one takes over.
void SourceReviver::EnsureRunning(std::unique_lock<std::mutex>& lock) {
    if (m_state->running) {
        return;
    }
    m_state->running = true;
    lock.unlock();
    m_task = std::make_unique<platform::BackgroundTask>([state = m_state] { Run(state); });
}

// One attempt a period while anything is wanted; the thread ends when nothing is.
void SourceReviver::Run(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->mutex);
    while (state->Wanted()) {
        if (state->changed.wait_for(lock, state->period,
                                    [&] { return state->stopping || state->atOnce; }) &&
            state->stopping) {
            break;
        }
        state->atOnce = false;
        const bool wantSystem = state->wantSystem && !state->system;
        const uint32_t pid = state->processPid;
        const std::optional<Microphone> wantMic = state->mic ? std::nullopt : state->wantMic;
        lock.unlock();
        AudioSourceOpener opener(state->connect);
        std::optional<AudioSourceOpener::Source> system;
        std::optional<AudioSourceOpener::Source> mic;
        if (wantSystem) {
            system = pid != 0 ? opener.OpenProcessLoopback(pid, state->systemEvent)
                              : opener.OpenLoopback(state->systemEvent);
        }
        if (wantMic) {
            mic = opener.OpenMicrophone(wantMic->deviceId, wantMic->rawStream, state->micEvent,
                                        /*exactly=*/true);
        }
        lock.lock();
        if (system && state->wantSystem) {
            state->system = std::move(system);
            state->wantSystem = false;
        }
        if (mic && state->wantMic) {
            state->mic = std::move(mic);
            state->wantMic.reset();
        }
    }
    state->running = false;
}

}  // namespace tamro
