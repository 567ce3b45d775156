#include "platform/system/DebugOutput.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

namespace tamro::platform {
namespace {

struct Listeners {
    std::mutex mutex;
    std::vector<std::pair<int, DebugOutputListener>> entries;
    int nextId = 1;
};

Listeners& AllListeners() {
    static Listeners listeners;
    return listeners;
}

std::atomic<bool>& StandardErrorEnabled() {
    static std::atomic<bool> enabled{true};
    return enabled;
}

}  // namespace

void WriteDebugOutput(std::string_view line) {
    while (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
    }
    if (StandardErrorEnabled().load(std::memory_order_relaxed)) {
        // One write per line keeps lines from different threads whole.
        std::string text(line);
        text.push_back('\n');
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
    Listeners& listeners = AllListeners();
    std::lock_guard lock(listeners.mutex);
    for (const auto& entry : listeners.entries) {
        entry.second(line);
    }
}

void SetDebugOutputToStandardError(bool enabled) {
    StandardErrorEnabled().store(enabled, std::memory_order_relaxed);
}

DebugOutputSubscription::DebugOutputSubscription(DebugOutputListener listener) {
    Listeners& listeners = AllListeners();
    std::lock_guard lock(listeners.mutex);
    m_id = listeners.nextId++;
    listeners.entries.emplace_back(m_id, std::move(listener));
}

DebugOutputSubscription::~DebugOutputSubscription() {
    Listeners& listeners = AllListeners();
    std::lock_guard lock(listeners.mutex);
    std::erase_if(listeners.entries, [this](const auto& entry) { return entry.first == m_id; });
}

}  // namespace tamro::platform
