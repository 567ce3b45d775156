#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

namespace tamro::platform {

// Lets callbacks that a platform may still invoke after unsubscribing reach an object safely:
// each callback holds the gate (shared) and passes through it; Close waits for the callbacks
// inside and turns later ones away, so the object can be destroyed afterwards.
// Threading: any thread.
class CallGate {
  public:
    // Runs `call` unless the gate is closed; false when turned away.
    template <typename Call>
    bool Pass(Call&& call) {
        {
            std::lock_guard lock(m_mutex);
            if (m_closed)
                return false;
            ++m_inside;
        }
        struct Leave {
            CallGate* gate;
            ~Leave() {
                std::lock_guard lock(gate->m_mutex);
                if (--gate->m_inside == 0)
                    gate->m_empty.notify_all();
            }
        } leave{this};
        call();
        return true;
    }

    // Closes the gate and waits until no call is inside. Not for use from inside a call.
    void Close() {
        std::unique_lock lock(m_mutex);
        m_closed = true;
        m_empty.wait(lock, [&] { return m_inside == 0; });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_empty;
    bool m_closed = false;
    int m_inside = 0;
};

}  // namespace tamro::platform
