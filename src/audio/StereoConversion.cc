#include "audio/StereoConversion.h"

#include <algorithm>
#include <cstring>

namespace tamro {
namespace {

constexpr float kShortScale = 1.0f / 32768.0f;

template <typename Sample, typename ToFloat>
void AppendFrames(const uint8_t* data, uint32_t frames, uint16_t channels, ToFloat toFloat,
                  std::vector<float>* output) {
    const size_t right = channels > 1 ? 1 : 0;
    const size_t base = output->size();
    output->resize(base + static_cast<size_t>(frames) * 2);
    float* out = output->data() + base;
    for (uint32_t f = 0; f < frames; ++f) {
        // Packets carry no alignment promise; copy the samples out.
        Sample left;
        Sample rightSample;
        const uint8_t* frame = data + static_cast<size_t>(f) * channels * sizeof(Sample);
        std::memcpy(&left, frame, sizeof(Sample));
        std::memcpy(&rightSample, frame + right * sizeof(Sample), sizeof(Sample));
        out[f * 2] = toFloat(left);
        out[f * 2 + 1] = toFloat(rightSample);
    }
}

}  // namespace

bool IsReadableFormat(const platform::AudioFormat& format) noexcept {
    const bool layout = (format.isFloat && format.bitsPerSample == 32) ||
                        (!format.isFloat && format.bitsPerSample == 16);
    return layout && format.channels > 0 && format.sampleRate > 0;
}

void AppendStereo(const uint8_t* data, uint32_t frames, const platform::AudioFormat& format,
                  std::vector<float>* output) {
    if (format.isFloat) {
        AppendFrames<float>(
            data, frames, format.channels,
            // A NaN would poison every later mix step; it becomes silence.
            [](float v) { return v == v ? std::clamp(v, -1.0f, 1.0f) : 0.0f; }, output);
    } else {
        AppendFrames<int16_t>(
            data, frames, format.channels,
            [](int16_t v) { return static_cast<float>(v) * kShortScale; }, output);
    }
}

}  // namespace tamro
