#include "audio/SourceStatistics.h"

namespace tamro {
namespace {

constexpr uint64_t kWakeGapReportUs = 30'000;

}  // namespace

void SourceStatistics::NoteWakeGap(uint64_t gapUs) {
    uint64_t seen = maxWakeGapUs.load();
    while (gapUs > seen && !maxWakeGapUs.compare_exchange_weak(seen, gapUs)) {
    }
    if (gapUs > kWakeGapReportUs) {
        wakeGapsOver30ms += 1;
    }
}

OutputStatistics::SourceCounters SourceStatistics::Counters(uint32_t nominalRate,
                                                            double correction) const {
    return {.rawFrames = rawFrames.load(),
            .silentFrames = silentFrames.load(),
            .discontinuities = discontinuities.load(),
            .droppedSamples = droppedSamples.load(),
            .devicePosition = devicePosition.load(),
            .clockPosition = clockPosition.load(),
            .resamplerOutputFrames = resamplerOutputFrames.load(),
            .nominalRate = nominalRate,
            .correction = correction};
}

}  // namespace tamro
