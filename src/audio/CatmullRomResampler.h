#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace tamro {

// Stereo Catmull-Rom resampler for a stream that arrives in blocks of any length. The phase and
// the last three input frames carry over, so output near a block's end waits for the next block's
// first frames instead of being extrapolated: block boundaries leave no trace in the output. The
// price is a fixed delay of two input frames.
// Threading: one thread at a time.
class CatmullRomResampler {
  public:
    // Appends to `output` the frames of `input` (interleaved stereo, `frames` frames) resampled
    // with `step` input frames per output frame; returns the frames appended.
    size_t Process(const float* input, size_t frames, double step, std::vector<float>* output);
    // Phase 0, silent history.
    void Reset() noexcept;

    double Phase() const noexcept { return m_phase; }

  private:
    static constexpr size_t kHistory = 3;

    double m_phase = 0.0;  // of the next output frame, relative to the oldest history frame + 1
    std::array<float, kHistory * 2> m_history{};
    std::vector<float> m_extended;  // scratch: history + block
};

}  // namespace tamro
