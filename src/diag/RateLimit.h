#pragma once

#include <atomic>
#include <cstdint>

namespace tamro {

// Gates for log lines that could otherwise repeat per frame. Safe from any thread.

// Open the first time only.
class FirstOnly {
  public:
    bool operator()() noexcept { return !m_passed.exchange(true, std::memory_order_relaxed); }

  private:
    std::atomic<bool> m_passed{false};
};

// For a 1-based occurrence count: the 1st, (n+1)th, (2n+1)th ... pass.
constexpr bool IsEveryNth(uint64_t occurrence, uint64_t n) noexcept {
    return n <= 1 || occurrence % n == 1;
}

// Counts occurrences itself: open on the 1st, (n+1)th, (2n+1)th ...
class EveryNth {
  public:
    explicit constexpr EveryNth(uint64_t n) noexcept : m_n(n) {}
    bool operator()() noexcept {
        return IsEveryNth(m_count.fetch_add(1, std::memory_order_relaxed) + 1, m_n);
    }

  private:
    uint64_t m_n;
    std::atomic<uint64_t> m_count{0};
};

}  // namespace tamro
