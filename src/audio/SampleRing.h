#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tamro {

// Interleaved float samples between the capture thread and the output thread; one slot always
// stays empty, so a ring of N slots holds at most N - 1 samples.
// Threading: one writer (Write) and one reader (ReadBlock, Used) at a time, without locks. Reset
// only while neither runs.
class SampleRing {
  public:
    static constexpr size_t kCapacity = 48000;  // 500 ms of stereo at 48 kHz
    static constexpr size_t kBlockSamples = 2048;

    SampleRing();

    // Copies what fits; returns the number of samples written (the rest is the caller's drop).
    size_t Write(const float* source, size_t count) noexcept;
    // Fills a kBlockSamples block: what the ring holds (at most a block) and zeros after it.
    size_t ReadBlock(float* block) noexcept;
    size_t Used() const noexcept;
    size_t Free() const noexcept { return kCapacity - 1 - Used(); }
    void Reset() noexcept;

  private:
    std::unique_ptr<float[]> m_data;
    std::atomic<uint64_t> m_writeIndex{0};
    std::atomic<uint64_t> m_readIndex{0};
};

}  // namespace tamro
