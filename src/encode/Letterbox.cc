#include "encode/Letterbox.h"

#include <algorithm>

namespace tamro {
namespace {

uint32_t EvenDown(uint32_t value) {
    return value & ~1u;
}

// The content's length along the axis the source does not fill: even, at least 2, and the whole
// axis when the bars would be a pixel a side or less.
uint32_t ContentLength(uint64_t scaled, uint32_t output) {
    const uint32_t length = std::clamp(EvenDown(static_cast<uint32_t>(scaled)), 2u, output);
    return output - length <= 2 ? output : length;
}

}  // namespace

LetterboxPlacement Letterbox::Fit(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t outputWidth,
                                  uint32_t outputHeight) {
    if (sourceWidth >= outputWidth && sourceWidth - outputWidth <= 1 &&
        sourceHeight >= outputHeight && sourceHeight - outputHeight <= 1) {
        return {outputWidth, outputHeight, 0, 0, outputWidth, outputHeight};
    }
    LetterboxPlacement placement{.sourceWidth = sourceWidth, .sourceHeight = sourceHeight};
    const uint64_t widthAtOutputHeight =
        (static_cast<uint64_t>(outputHeight) * sourceWidth + sourceHeight / 2) / sourceHeight;
    if (widthAtOutputHeight > outputWidth) {
        // Wider than the output: full width, bars above and below.
        placement.width = outputWidth;
        placement.height = ContentLength(
            (static_cast<uint64_t>(outputWidth) * sourceHeight + sourceWidth / 2) / sourceWidth,
            outputHeight);
    } else {
        placement.height = outputHeight;
        placement.width = ContentLength(widthAtOutputHeight, outputWidth);
    }
    placement.left = EvenDown((outputWidth - placement.width) / 2);
    placement.top = EvenDown((outputHeight - placement.height) / 2);
    return placement;
}

}  // namespace tamro
