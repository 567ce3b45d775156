#pragma once

#include <cstdint>

namespace tamro {

// Where a source picture lands in an output of another size when its aspect ratio is kept: the
// part of the source that is shown (from its top-left corner) and the output rectangle it fills.
// Every output value is even, so each 2x2 chroma block lies wholly in the picture or in a bar.
struct LetterboxPlacement {
    uint32_t sourceWidth = 0;
    uint32_t sourceHeight = 0;
    uint32_t left = 0;
    uint32_t top = 0;
    uint32_t width = 0;
    uint32_t height = 0;

    bool operator==(const LetterboxPlacement&) const = default;
};

// The geometry shared by the device scaler and the CPU path.
// Threading: stateless; any thread.
class Letterbox {
  public:
    // A source at most one pixel larger than the output along each axis (an odd size whose output
    // was rounded down to even) is cropped, not scaled. Otherwise the source is scaled to fill one
    // axis and centred on the other; bars of at most one pixel a side are not drawn, the picture
    // is stretched over them instead, as such a bar would only show a rounding step.
    static LetterboxPlacement Fit(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t outputWidth,
                                  uint32_t outputHeight);
};

}  // namespace tamro
