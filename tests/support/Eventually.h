#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace tamro::test {

// Polls `done` until it holds or `timeout` passes: for what another process (an X server, a
// compositing manager) does when it gets to it.
inline bool Eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace tamro::test
