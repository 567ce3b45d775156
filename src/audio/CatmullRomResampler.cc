#include "audio/CatmullRomResampler.h"

#include <algorithm>
#include <cmath>

namespace tamro {

size_t CatmullRomResampler::Process(const float* input, size_t frames, double step,
                                    std::vector<float>* output) {
    if (frames == 0 || !(step > 0.0)) {
        return 0;
    }
    // History followed by the block, so every neighbour is a plain index.
    m_extended.resize((kHistory + frames) * 2);
    std::copy(m_history.begin(), m_history.end(), m_extended.begin());
    std::copy(input, input + frames * 2, m_extended.begin() + kHistory * 2);
    const float* x = m_extended.data();

    // Interpolating at p needs frames floor(p)-1 .. floor(p)+2 of history + block.
    double pos = m_phase + 1.0;
    const double end = static_cast<double>(frames) + 1.0;
    const size_t before = output->size();
    const auto most = static_cast<size_t>((end - pos) / step) + 2;
    output->resize(before + most * 2);
    float* out = output->data() + before;
    size_t produced = 0;
    while (pos < end && produced < most) {
        const auto i = static_cast<size_t>(pos);
        const float t = static_cast<float>(pos - static_cast<double>(i));
        // The cubic's weights of the four neighbours, shared by both channels.
        const float t2 = t * t;
        const float t3 = t2 * t;
        const float wm1 = -0.5f * t + t2 - 0.5f * t3;
        const float w0 = 1.0f - 2.5f * t2 + 1.5f * t3;
        const float w1 = 0.5f * t + 2.0f * t2 - 1.5f * t3;
        const float w2 = -0.5f * t2 + 0.5f * t3;
        const float* n = x + (i - 1) * 2;
        out[produced * 2] = std::clamp(wm1 * n[0] + w0 * n[2] + w1 * n[4] + w2 * n[6], -1.0f, 1.0f);
        out[produced * 2 + 1] =
            std::clamp(wm1 * n[1] + w0 * n[3] + w1 * n[5] + w2 * n[7], -1.0f, 1.0f);
        ++produced;
        pos += step;
    }
    output->resize(before + produced * 2);
    m_phase = pos - end;
    std::copy(m_extended.end() - kHistory * 2, m_extended.end(), m_history.begin());
    return produced;
}

void CatmullRomResampler::Reset() noexcept {
    m_phase = 0.0;
    m_history.fill(0.0f);
}

}  // namespace tamro
