#pragma once

#include <cstdint>
#include <optional>

namespace tamro {

// Where the audio output's blocks fall in time.

// Start of tick `k` after `t0` (ns) for blocks of `blockFrames` at `rate`: computed from the tick
// count so that late wakes do not add up, and without overflowing for recordings of any length.
int64_t TickDeadline(int64_t t0, uint64_t k, uint64_t blockFrames, uint32_t rate);

// The part of a block that lies on the session's timeline: the frames cut from its start and the
// stamp (100-ns units) of its first kept frame.
struct VisibleBlock {
    uint32_t skippedFrames = 0;
    int64_t pts = 0;
};
// Nothing when the whole block, stamped `pts`, precedes the first instant.
std::optional<VisibleBlock> VisiblePart(int64_t pts, uint32_t frames, uint32_t rate);

}  // namespace tamro
