#include "audio/SampleRing.h"

#include <algorithm>
#include <cstring>

namespace tamro {
namespace {

size_t UsedBetween(uint64_t write, uint64_t read) {
    return static_cast<size_t>(write >= read ? write - read : write + SampleRing::kCapacity - read);
}

}  // namespace

SampleRing::SampleRing() : m_data(std::make_unique<float[]>(kCapacity)) {}

size_t SampleRing::Used() const noexcept {
    return UsedBetween(m_writeIndex.load(std::memory_order_acquire),
                       m_readIndex.load(std::memory_order_acquire));
}

size_t SampleRing::Write(const float* source, size_t count) noexcept {
    const uint64_t write = m_writeIndex.load(std::memory_order_relaxed);
    const uint64_t read = m_readIndex.load(std::memory_order_acquire);
    const size_t n = std::min(count, kCapacity - 1 - UsedBetween(write, read));
    const size_t first = std::min(n, kCapacity - static_cast<size_t>(write));
    std::memcpy(m_data.get() + write, source, first * sizeof(float));
    std::memcpy(m_data.get(), source + first, (n - first) * sizeof(float));
    m_writeIndex.store((write + n) % kCapacity, std::memory_order_release);
    return n;
}

size_t SampleRing::ReadBlock(float* block) noexcept {
    const uint64_t read = m_readIndex.load(std::memory_order_relaxed);
    const uint64_t write = m_writeIndex.load(std::memory_order_acquire);
    const size_t n = std::min(UsedBetween(write, read), kBlockSamples);
    const size_t first = std::min(n, kCapacity - static_cast<size_t>(read));
    std::memcpy(block, m_data.get() + read, first * sizeof(float));
    std::memcpy(block + first, m_data.get(), (n - first) * sizeof(float));
    std::fill(block + n, block + kBlockSamples, 0.0f);
    m_readIndex.store((read + n) % kCapacity, std::memory_order_release);
    return n;
}

void SampleRing::Reset() noexcept {
    m_writeIndex.store(0, std::memory_order_relaxed);
    m_readIndex.store(0, std::memory_order_relaxed);
}

}  // namespace tamro
