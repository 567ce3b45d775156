#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace tamro::platform {

// One client connection to a PulseAudio (or compatible) server on a threaded main loop. Every wait
// on the server is bounded, so a server that is gone or stuck makes calls fail instead of hang.
// Threading: callbacks run on the main-loop thread with the loop lock held; other threads take
// the lock (Lock) around every libpulse call. The connection outlives its streams (each holds a
// shared reference).
class PulseConnection {
  public:
    // A connect or query that takes longer than this means the server is stuck.
    static constexpr std::chrono::milliseconds kServerTimeout{1500};

    // kAudioServiceNotRunning when no server answers in time.
    static uint32_t Connect(std::shared_ptr<PulseConnection>* connection);

    struct PassKey {
        explicit PassKey() = default;
    };
    explicit PulseConnection(PassKey) {}
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Takes the loop lock, except on the loop thread itself, which already holds it.
    class Lock {
      public:
        explicit Lock(PulseConnection& connection)
            : m_loop(pa_threaded_mainloop_in_thread(connection.m_loop) ? nullptr
                                                                       : connection.m_loop) {
            if (m_loop != nullptr) {
                pa_threaded_mainloop_lock(m_loop);
            }
        }
        ~Lock() {
            if (m_loop != nullptr) {
                pa_threaded_mainloop_unlock(m_loop);
            }
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pa_threaded_mainloop* m_loop;
    };

    pa_context* Context() const { return m_context; }
    bool IsReady() const;
    // The server went away after the connection was made; from any thread, without the lock.
    bool Lost() const { return m_lost.load(); }

    // With the lock held: waits until `done` is true, the connection fails, or `limit` passes.
    // Callbacks that change what `done` reads must call Signal.
    bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit);
    // With the lock held: waits for an operation; false (and the operation cancelled) on time-out.
    bool WaitOperation(pa_operation* operation, std::chrono::milliseconds limit);
    void Signal();

    // With the lock held: server events of the facilities in `mask` (sink inputs new and
    // removed, a changed default device) for the listener, on the main-loop thread.
    using EventListener = std::function<void(pa_subscription_event_type_t, uint32_t index)>;
    int AddListener(pa_subscription_mask_t mask, EventListener listener);
    void RemoveListener(int id);

  private:
    bool Open();
    static void OnSubscription(pa_context* context, pa_subscription_event_type_t type,
                               uint32_t index, void* self);

    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    uint32_t m_subscribedMask = 0;  // under the loop lock
    bool m_ready = false;           // under the loop lock
    std::atomic<bool> m_lost{false};
    struct Listener {
        int id;
        uint32_t mask;
        EventListener handle;
    };
    std::vector<Listener> m_listeners;  // under the loop lock
    int m_nextListenerId = 1;
};

// The application.process.id of a sink input; 0 when it has none.
uint32_t SinkInputProcessId(const pa_sink_input_info& info);

}  // namespace tamro::platform
