#pragma once

#include <algorithm>
#include <cmath>

namespace tamro {

// Peak limiter with a quadratic soft knee: unity below the threshold, slope 1/ratio above the
// knee's end, and a slope that eases between the two across the knee, so the curve is continuous
// and never falls as the input rises. Magnitudes end at 1; the sign is kept.
struct SoftLimiter {
    float threshold = 0.7f;
    float kneeEnd = 0.8f;
    float ratio = 3.0f;

    float operator()(float y) const noexcept {
        const float magnitude = std::fabs(y);
        if (magnitude <= threshold || ratio <= 1.0f)
            return std::clamp(y, -1.0f, 1.0f);
        const float inverseRatio = 1.0f / ratio;
        const float width = std::max(kneeEnd - threshold, 0.0001f);
        float out = 0.0f;
        if (magnitude < kneeEnd) {
            const float x = magnitude - threshold;
            out = ((inverseRatio - 1.0f) * 0.5f * (x / width) + 1.0f) * x + threshold;
        } else {
            out = (inverseRatio + 1.0f) * 0.5f * width + threshold +
                  (magnitude - kneeEnd) * inverseRatio;
        }
        return std::copysign(std::min(out, 1.0f), y);
    }
};

}  // namespace tamro
