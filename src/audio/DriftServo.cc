#include "audio/DriftServo.h"

#include <algorithm>
#include <cmath>

#include "diag/Log.h"

namespace tamro {
namespace {

constexpr double kEmaWeight = 0.007;
constexpr double kDeadBandSeconds = 0.002;
constexpr double kIntegralGain = 0.000625;
constexpr double kProportionalGain = 0.05;
// Just under the limit, so a clamped value counts as saturated despite rounding.
constexpr double kSaturated = 0.004999999;

}  // namespace

double DriftServo::Update(double fillMs, bool skip, uint64_t rawFrames, const char* label) {
    State& s = m_state;
    s.fillEmaMs =
        s.fillEmaMs < 0.0 ? fillMs : kEmaWeight * fillMs + (1.0 - kEmaWeight) * s.fillEmaMs;
    if (skip) {
        s.dirty = true;
    }
    if (s.holdoffTicks > 0) {
        --s.holdoffTicks;
        s.lastRawFrames = rawFrames;
        return s.correction;
    }
    if (++s.tickCount < kTicksPerUpdate) {
        return s.correction;
    }
    s.tickCount = 0;
    const uint64_t previousRaw = s.lastRawFrames;
    s.lastRawFrames = rawFrames;
    if (rawFrames == previousRaw || s.dirty) {
        s.dirty = false;
        return s.correction;
    }
    double err = (s.fillEmaMs - kSetpointMs) / 1000.0;
    if (std::fabs(err) < kDeadBandSeconds) {
        err = 0.0;
    }
    if (std::fabs(s.correction) < kSaturated) {
        s.integral += err;
    }
    double u = std::clamp(kIntegralGain * s.integral + kProportionalGain * err, -kMaxCorrection,
                          kMaxCorrection);
    u = std::clamp(u, s.correction - kMaxStep, s.correction + kMaxStep);
    if (std::fabs(u) >= kSaturated) {
        if (++s.saturatedCount == kSaturationReport) {
            LogLine(
                "[AudioCapture] %s drift servo saturated for 10s \xE2\x80\x94 source rate error "
                "exceeds 0.5%%, investigate",
                label);
        }
    } else {
        s.saturatedCount = 0;
    }
    s.correction = u;
    return u;
}

void DriftServo::RestartAfterGap() noexcept {
    m_state.fillEmaMs = -1.0;
    m_state.integral = 0.0;
    m_state.tickCount = 0;
    m_state.dirty = false;
}

}  // namespace tamro
