#pragma once

#include <array>
#include <cstdint>

namespace tamro {

// How the camera bubble is drawn over a screen frame; the caller passes it with every frame.
struct CameraOverlayParams {
    // The bubble's rectangle in output-frame coordinates 0..1, from the top-left corner.
    float rectX = 0;
    float rectY = 0;
    float rectWidth = 0;
    float rectHeight = 0;
    // A fraction of the bubble's half-extent: 0 square corners, 1 an ellipse filling the
    // rectangle (a circle when it is square in pixels).
    float cornerRadius = 0;
    bool mirror = false;
    // 1 = cover (fill the shape, cropping the camera's longer side); anything else = contain.
    int32_t fillMode = 0;
    float opacity = 1;
    // r, g, b, a in 0..1, straight alpha.
    std::array<float, 4> borderColor{};
    // Width of the border ring, in the units of cornerRadius.
    float borderWidth = 0;
    bool borderDashed = false;
    // Camera width / height; 0.0001 or less counts as 1.
    float cameraAspect = 1;

    bool operator==(const CameraOverlayParams&) const = default;
};

}  // namespace tamro
