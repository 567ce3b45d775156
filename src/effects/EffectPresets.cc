#include "effects/EffectPresets.h"

namespace tamro {

namespace {

constexpr EffectColor Bytes(int r, int g, int b) {
    return {r / 255.0f, g / 255.0f, b / 255.0f, 1.0f};
}

constexpr std::array<EffectColor, 6> kSolidColors = {
    Bytes(245, 243, 238), Bytes(200, 200, 200), Bytes(23, 42, 69),
    Bytes(54, 57, 63),    Bytes(180, 196, 180), Bytes(210, 180, 180),
};

constexpr std::array<EffectGradient, 4> kGradients = {{
    {Bytes(255, 248, 240), Bytes(200, 220, 240)},
    {Bytes(20, 80, 100), Bytes(150, 220, 220)},
    {Bytes(60, 40, 100), Bytes(180, 160, 220)},
    {Bytes(10, 20, 50), Bytes(50, 80, 140)},
}};

}  // namespace

EffectColor SolidColorPreset(int32_t index) {
    if (index < 0 || index >= static_cast<int32_t>(kSolidColors.size()))
        return {0.2f, 0.2f, 0.2f, 1.0f};
    return kSolidColors[index];
}

EffectGradient GradientPreset(int32_t index) {
    if (index < 0 || index >= static_cast<int32_t>(kGradients.size()))
        return {{0.1f, 0.1f, 0.1f, 1.0f}, {0.3f, 0.3f, 0.3f, 1.0f}};
    return kGradients[index];
}

int32_t BlurRadius(int32_t intensity) {
    switch (intensity) {
        case 0:
            return 8;
        case 2:
            return 25;
        default:
            return 15;
    }
}

int32_t SkipInterval(int32_t quality) {
    switch (quality) {
        case 1:
        case 4:
            return 3;
        case 2:
            return 1;
        default:
            return 2;
    }
}

}  // namespace tamro
