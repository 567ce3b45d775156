#include "audio/BlockTiming.h"

#include <algorithm>

namespace tamro {

int64_t TickDeadline(int64_t t0, uint64_t k, uint64_t blockFrames, uint32_t rate) {
    const uint64_t frames = k * blockFrames;
    return t0 + static_cast<int64_t>(frames / rate * 1'000'000'000 +
                                     frames % rate * 1'000'000'000 / rate);
}

std::optional<VisibleBlock> VisiblePart(int64_t pts, uint32_t frames, uint32_t rate) {
    if (pts >= 0) {
        return VisibleBlock{.skippedFrames = 0, .pts = pts};
    }
    const int64_t early = -pts * rate;
    const auto skipped = static_cast<uint64_t>((early + 10'000'000 - 1) / 10'000'000);
    if (skipped >= frames) {
        return std::nullopt;
    }
    return VisibleBlock{
        .skippedFrames = static_cast<uint32_t>(skipped),
        .pts = std::max<int64_t>(0, pts + static_cast<int64_t>(skipped * 10'000'000 / rate))};
}

}  // namespace tamro
