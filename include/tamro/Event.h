#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "tamro/DisconnectedError.h"
#include "tamro/ModuleObject.h"

namespace tamro {

struct EventToken {
    int64_t value = 0;
    friend bool operator==(const EventToken&, const EventToken&) = default;
};

// A multicast event.
//
// Threading: Add, Remove and Raise may be called from any thread at once. The handler list is an
// immutable array replaced under a reader/writer lock; Raise takes the current array under the
// lock and calls the handlers outside it, so a handler may add, remove or raise on the same event.
// Handlers added during a raise are first called by the next raise.
//
// Failures: a handler that throws DisconnectedError with a disconnection code is removed and the
// raise goes on with the next handler; any other exception leaves Raise at once (later handlers of
// that raise are not called) and reaches the raiser.
template <typename Sender, typename Args>
class Event {
  public:
    using Handler = std::function<void(Sender&, const Args&)>;

    EventToken Add(Handler handler) {
        const EventToken token{m_nextToken.fetch_add(1, std::memory_order_relaxed)};
        auto entry = std::make_shared<const Entry>(token, std::move(handler));
        std::unique_lock lock(m_mutex);
        auto next = std::make_shared<List>(*m_handlers);
        next->push_back(std::move(entry));
        m_handlers = std::move(next);
        return token;
    }

    void Remove(EventToken token) {
        std::unique_lock lock(m_mutex);
        auto next = std::make_shared<List>();
        next->reserve(m_handlers->size());
        for (const auto& entry : *m_handlers) {
            if (!(entry->token == token)) {
                next->push_back(entry);
            }
        }
        if (next->size() != m_handlers->size()) {
            m_handlers = std::move(next);
        }
    }

    void Raise(Sender& sender, const Args& args) {
        std::shared_ptr<const List> handlers;
        {
            std::shared_lock lock(m_mutex);
            handlers = m_handlers;
        }
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

    bool HasHandlers() const {
        std::shared_lock lock(m_mutex);
        return !m_handlers->empty();
    }

  private:
    // One registered handler; counts as a live object of the module.
    struct Entry : ModuleObject {
        Entry(EventToken t, Handler h) : token(t), handler(std::move(h)) {}
        EventToken token;
        Handler handler;
    };
    using List = std::vector<std::shared_ptr<const Entry>>;

    mutable std::shared_mutex m_mutex;
    std::shared_ptr<const List> m_handlers = std::make_shared<const List>();
    std::atomic<int64_t> m_nextToken{1};
};

}  // namespace tamro
