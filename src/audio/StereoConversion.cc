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

size_t ReadStereoPackets(platform::AudioEndpoint& endpoint, const platform::AudioFormat& format,
                         bool discard, SourceStatistics& stats, std::vector<float>* collected,
                         uint32_t* status) {
    size_t frames = 0;
    uint32_t next = 0;
    while (!platform::AudioFailed(*status = endpoint.GetNextPacketSize(&next)) && next != 0) {
        platform::AudioPacket packet;
        // A packet that cannot be fetched now is retried on the next wake, not in a busy loop.
        if (platform::AudioFailed(endpoint.GetBuffer(&packet))) {
            break;
        }
        stats.rawFrames += packet.frames;
        const bool silent = (packet.flags & platform::kPacketSilent) != 0;
        if (silent) {
            stats.silentFrames += packet.frames;
        }
        if ((packet.flags & platform::kPacketDiscontinuity) != 0) {
            stats.discontinuities += 1;
        }
        if (packet.clockPosition != 0) {
            stats.devicePosition = packet.devicePosition;
            stats.clockPosition = packet.clockPosition;
        }
        if (!discard) {
            if (silent || packet.data == nullptr) {
                collected->resize(collected->size() + static_cast<size_t>(packet.frames) * 2, 0.0f);
            } else {
                AppendStereo(packet.data, packet.frames, format, collected);
            }
            frames += packet.frames;
        }
        endpoint.ReleaseBuffer(packet.frames);
    }
    return frames;
}

}  // namespace tamro
