#pragma once

#include <cstdint>
#include <string>

namespace tamro {

// Value records that cross the public boundary. Plain data; copied by value.

struct CaptureRect {
    int32_t X = 0;
    int32_t Y = 0;
    int32_t Width = 0;
    int32_t Height = 0;
};

// Zero or negative doubles are replaced by the recorder's defaults when it hands them on.
struct FocusZoomSettings {
    bool Flag1 = false;
    bool Flag2 = false;
    double cropFraction = 0.0;  // focus window width as a fraction of the captured width
    double smoothing = 0.0;     // weight of a new cursor position
    double deadZone = 0.0;      // cursor movement in pixels below which the view stays
    double pulseFactor = 0.0;   // extra zoom of a pulse
};

struct BackgroundEffectConfig {
    int32_t Mode = 0;  // 0 none, 1 blur, 2 solid colour, 3 gradient, 4 image
    int32_t BlurIntensity = 0;
    int32_t SolidColorPreset = 0;
    int32_t GradientPreset = 0;
    int32_t ImagePreset = 0;
    int32_t Quality = 0;  // 1 = Auto
};

// The webcam bubble composited into recordings.
struct CameraOverlayConfig {
    bool enabled = false;
    std::string deviceId;
    // Normalised 0..1 of the output frame, top-left origin.
    double x = 0.0;
    double y = 0.0;
    double width = 0.0;
    double height = 0.0;
    double reserved = 0.0;
    double cornerRadius = 0.0;  // 0 square corners .. 1 an ellipse filling the rectangle
    bool mirror = false;
    int32_t fillMode = 0;  // 1 cover, anything else contain
    double opacity = 1.0;
    uint32_t borderColor = 0;  // 0xAARRGGBB
    double borderWidth = 0.0;  // a negative width draws a dashed border of that width
    int32_t frameRate = 0;     // 0 or less: 30
    BackgroundEffectConfig effect;
};

// Stored and returned only.
struct ReservedTriple {
    double Value1 = 0.0;
    double Value2 = 0.0;
    double Value3 = 0.0;
};

}  // namespace tamro
