#pragma once

#include <cstdint>
#include <vector>

#include "platform/camera/CameraSystem.h"

namespace tamro::platform::camera {

// The synthetic camera's pictures: a person, head and shoulders, swaying slowly left and right in
// front of a wall with a bookshelf, as a background effect or a viewer expects a webcam to show;
// the frame number and the time since the first frame (mm:ss.mmm) in large digits at the top
// left; and the frame number as the block code of SyntheticFrameCode.h along the bottom edge.
// The background is painted once; each frame copies it and paints the rest over it.
// Threading: one thread at a time.
class SyntheticPicture {
  public:
    struct Box {
        int32_t left = 0;
        int32_t top = 0;
        int32_t right = 0;  // exclusive
        int32_t bottom = 0;
    };

    // One sway, left and back, takes this long.
    static constexpr int64_t kSwayPeriodNs = 4'000'000'000;

    SyntheticPicture(uint32_t width, uint32_t height);

    // Paints frame `number`, taken `elapsedNs` after the first. Valid until the next call.
    Frame Draw(uint32_t number, int64_t elapsedNs);

    // Where the face is at `elapsedNs`: inside it every pixel is skin or a facial feature.
    Box Face(int64_t elapsedNs) const;

  private:
    struct Figure;

    Figure FigureAt(int64_t elapsedNs) const;
    void PaintBackground();
    void PaintFigure(const Figure& figure);
    void PaintCaption(uint32_t number, int64_t elapsedNs);
    void PaintFrameCode(uint32_t number);

    const uint32_t m_width;
    const uint32_t m_height;
    std::vector<uint32_t> m_background;
    std::vector<uint32_t> m_pixels;
};

}  // namespace tamro::platform::camera
