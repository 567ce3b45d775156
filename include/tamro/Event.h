#pragma once

// A multicast event with token-based subscription.
//
// Threading: Add, Remove, Raise and HasHandlers may be called from any thread at once. The handler
// list is an immutable array; Add and Remove replace it under the exclusive side of a reader/writer
// lock, Raise takes a reference to the current array under the shared side and calls the handlers
// after releasing it. So a handler may Add, Remove or Raise on its own event without deadlock, a
// handler added during a raise is first called by the next raise, and a handler removed during a
// raise may still be called once by raises that had already taken the array.
//
// Failures: a handler that throws DisconnectedError with a disconnection code is removed and the
// raise goes on with the next handler. Any other exception leaves Raise at once and reaches the
// raiser: the handlers after the throwing one are not called in that raise, and the throwing
// handler stays registered.
//
// Lifetime: each registered handler counts as one live object of the module until it is removed
// and no raise holds it any more, or the event is destroyed.

#include <atomic>
#include <compare>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "tamro/DisconnectedError.h"
#include "tamro/Export.h"
#include "tamro/ModuleObject.h"

namespace tamro {

// Unique per event and never 0 for a registered handler; 0 means "nothing registered".
struct EventToken {
    int64_t value = 0;
    friend auto operator<=>(const EventToken&, const EventToken&) = default;
};

template <typename Sender, typename Args>
class TAMRO_API Event {
  public:
    using Handler = std::function<void(Sender&, const Args&)>;

    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // An empty handler is not registered and gets the 0 token.
    EventToken Add(Handler handler) {
        if (!handler) {
            return EventToken{};
        }
        const EventToken token{m_nextToken.fetch_add(1, std::memory_order_relaxed)};
        auto entry = std::make_shared<const Entry>(token, std::move(handler));
        std::unique_lock lock(m_mutex);
        auto next = std::make_shared<List>(*m_handlers);
        next->push_back(std::move(entry));
        m_handlers = std::move(next);
        return token;
    }

    // An unknown or already removed token is ignored.
    void Remove(EventToken token) {
        std::unique_lock lock(m_mutex);
        auto next = std::make_shared<List>();
        next->reserve(m_handlers->size());
        for (const auto& entry : *m_handlers) {
            if (entry->token != token) {
                next->push_back(entry);
            }
        }
        if (next->size() != m_handlers->size()) {
            m_handlers = std::move(next);
        }
    }

    void Raise(Sender& sender, const Args& args) {
        // Held in a local: a temporary in the range expression would die before the loop runs.
        const std::shared_ptr<const List> handlers = Snapshot();
        for (const auto& entry : *handlers) {
            try {
                entry->handler(sender, args);
            } catch (const DisconnectedError& error) {
                if (!error.MeansDisconnected()) {
                    throw;
                }
                Remove(entry->token);
            }
        }
    }

    bool HasHandlers() const { return !Snapshot()->empty(); }

  private:
    struct Entry : ModuleObject {
        Entry(EventToken t, Handler h) : token(t), handler(std::move(h)) {}
        EventToken token;
        Handler handler;
    };
    using List = std::vector<std::shared_ptr<const Entry>>;

    std::shared_ptr<const List> Snapshot() const {
        std::shared_lock lock(m_mutex);
        return m_handlers;
    }

    mutable std::shared_mutex m_mutex;
    std::shared_ptr<const List> m_handlers = std::make_shared<const List>();
    std::atomic<int64_t> m_nextToken{1};
};

}  // namespace tamro
