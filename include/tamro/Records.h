#pragma once

#include <cstdint>

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

// Stored and returned only.
struct ReservedTriple {
    double Value1 = 0.0;
    double Value2 = 0.0;
    double Value3 = 0.0;
};

}  // namespace tamro
