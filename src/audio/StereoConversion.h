#pragma once

#include <cstdint>
#include <vector>

#include "audio/SourceStatistics.h"
#include "platform/audio/AudioEndpoint.h"

namespace tamro {

// Packets the engine can read: 32-bit float or 16-bit signed, at least one channel.
bool IsReadableFormat(const platform::AudioFormat& format) noexcept;

// Appends `frames` frames of an endpoint packet as interleaved stereo float: channel 0 is left,
// channel 1 right (a mono source feeds both); floats are clamped to [-1, 1], integers scaled by
// 1/32768. `format` must be readable.
void AppendStereo(const uint8_t* data, uint32_t frames, const platform::AudioFormat& format,
                  std::vector<float>* output);

// Reads the packets `endpoint` has ready, counting them in `stats`, and appends them to
// `collected` as stereo (silence for a silent packet) unless `discard`. Returns the frames
// appended; `status` is the endpoint's last answer, which says why nothing more came.
size_t ReadStereoPackets(platform::AudioEndpoint& endpoint, const platform::AudioFormat& format,
                         bool discard, SourceStatistics& stats, std::vector<float>* collected,
                         uint32_t* status);

}  // namespace tamro
