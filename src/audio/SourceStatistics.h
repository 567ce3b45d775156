#pragma once

#include <atomic>
#include <cstdint>

#include "audio/OutputStatistics.h"

namespace tamro {

// What one source of the audio capture delivered, counted by the capture thread and read by the
// output thread and the recorder.
// Threading: every field is atomic; the counters have one writer.
struct SourceStatistics {
    std::atomic<uint64_t> rawFrames{0};
    std::atomic<uint64_t> silentFrames{0};
    std::atomic<uint64_t> discontinuities{0};
    std::atomic<uint64_t> droppedSamples{0};
    std::atomic<uint64_t> devicePosition{0};
    std::atomic<uint64_t> clockPosition{0};
    // Microphone only.
    std::atomic<uint64_t> resamplerOutputFrames{0};
    std::atomic<uint64_t> maxWakeGapUs{0};
    std::atomic<uint64_t> wakeGapsOver30ms{0};
    std::atomic<bool> lost{false};            // its device or its server went away
    std::atomic<bool> lostWithServer{false};  // the server

    // Time between two wakes of the capture thread for this source.
    void NoteWakeGap(uint64_t gapUs);
    OutputStatistics::SourceCounters Counters(uint32_t nominalRate, double correction) const;
};

}  // namespace tamro
