#include "platform/audio/WakeEvent.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/system/SteadyClock.h"

namespace tamro::platform {

WakeEvent::WakeEvent(Mode mode) : m_mode(mode), m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeEvent::~WakeEvent() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void WakeEvent::Set() noexcept {
    const uint64_t one = 1;
    // A full counter (never reached in practice) still leaves the event set.
    [[maybe_unused]] ssize_t ignored = ::write(m_fd, &one, sizeof(one));
}

void WakeEvent::Reset() noexcept {
    Consume();
}

bool WakeEvent::IsSet() const noexcept {
    pollfd entry{.fd = m_fd, .events = POLLIN, .revents = 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}

bool WakeEvent::Consume() noexcept {
    uint64_t value = 0;
    return ::read(m_fd, &value, sizeof(value)) == sizeof(value);
}

int WakeEvent::WaitAny(std::span<WakeEvent* const> events, std::chrono::milliseconds limit) {
    std::vector<pollfd> entries;
    entries.reserve(events.size());
    for (WakeEvent* event : events) {
        entries.push_back({.fd = event->m_fd, .events = POLLIN, .revents = 0});
    }
    const int64_t deadline = SteadyClockNs() + limit.count() * 1'000'000;
    for (;;) {
        const int64_t remainingMs = std::max<int64_t>(0, (deadline - SteadyClockNs()) / 1'000'000);
        const int ready = ::poll(entries.data(), entries.size(), static_cast<int>(remainingMs));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return kWaitFailed;
        }
        if (ready == 0) {
            return kWaitTimeout;
        }
        for (size_t i = 0; i < entries.size(); ++i) {
            if ((entries[i].revents & POLLIN) == 0) {
                continue;
            }
            // Another waiter may have taken an auto-reset event between poll and read.
            if (events[i]->m_mode == Mode::kManualReset || events[i]->Consume()) {
                return static_cast<int>(i);
            }
        }
    }
}

}  // namespace tamro::platform
