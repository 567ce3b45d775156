#include "platform/window/OpaqueBands.h"

#include <algorithm>

namespace tamro::platform::window {

namespace {

constexpr uint8_t kOpaqueAlpha = 128;

// The [begin, end) runs of one row's opaque pixels, as pairs.
void RowRuns(const uint8_t* row, uint32_t width, std::vector<uint32_t>* runs) {
    runs->clear();
    uint32_t x = 0;
    while (x < width) {
        while (x < width && row[x * 4 + 3] < kOpaqueAlpha)
            ++x;
        if (x == width)
            break;
        const uint32_t begin = x;
        while (x < width && row[x * 4 + 3] >= kOpaqueAlpha)
            ++x;
        runs->push_back(begin);
        runs->push_back(x);
    }
}

}  // namespace

std::vector<PixelRect> OpaqueBands(const uint8_t* pixels, uint32_t rowPitch, uint32_t width,
                                   uint32_t height) {
    std::vector<PixelRect> rects;
    std::vector<uint32_t> band;  // the runs of the row above
    std::vector<uint32_t> runs;
    size_t bandStart = 0;
    for (uint32_t y = 0; y < height; ++y) {
        RowRuns(pixels + static_cast<size_t>(y) * rowPitch, width, &runs);
        if (!runs.empty() && runs == band) {
            std::for_each(rects.begin() + bandStart, rects.end(), [](PixelRect& r) { ++r.height; });
            continue;
        }
        bandStart = rects.size();
        for (size_t i = 0; i < runs.size(); i += 2)
            rects.push_back(
                {static_cast<int32_t>(runs[i]), static_cast<int32_t>(y), runs[i + 1] - runs[i], 1});
        band.swap(runs);
    }
    return rects;
}

}  // namespace tamro::platform::window
