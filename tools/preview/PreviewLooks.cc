#include "PreviewLooks.h"

namespace tamro::preview {
namespace {

constexpr int32_t kModeNone = 0;
constexpr int32_t kModeBlur = 1;
constexpr int32_t kModeColor = 2;
constexpr int32_t kModeGradient = 3;
constexpr int32_t kModeImage = 4;
constexpr int32_t kBlurMedium = 1;
constexpr int32_t kBlurStrong = 2;
constexpr int32_t kQualityAuto = 1;

// The effect cycle's steps: none, blur, strong blur, colour, gradient, picture.
constexpr int kSteps = 6;

int StepOf(const BackgroundEffectConfig& effect) {
    switch (effect.Mode) {
        case kModeBlur:
            return effect.BlurIntensity == kBlurStrong ? 2 : 1;
        case kModeColor:
            return 3;
        case kModeGradient:
            return 4;
        case kModeImage:
            return 5;
        default:
            return 0;
    }
}

}  // namespace

PreviewLooks::PreviewLooks(const cli::CameraOptions& options)
    : m_effect(options.effect), m_shape(options.shape), m_mirror(options.mirror) {
    m_effect.Quality = kQualityAuto;
}

void PreviewLooks::NextEffect() {
    static constexpr int32_t kModes[kSteps] = {kModeNone,  kModeBlur,     kModeBlur,
                                               kModeColor, kModeGradient, kModeImage};
    const int step = (StepOf(m_effect) + 1) % kSteps;
    m_effect.Mode = kModes[step];
    // The presets stay as they were: the cycle comes back to the colour the user chose.
    m_effect.BlurIntensity = step == 2 ? kBlurStrong : kBlurMedium;
}

void PreviewLooks::NextShape() {
    m_shape = m_shape == cli::CameraShape::kCircle    ? cli::CameraShape::kRounded
              : m_shape == cli::CameraShape::kRounded ? cli::CameraShape::kSquare
                                                      : cli::CameraShape::kCircle;
}

double PreviewLooks::CornerRadius() const {
    return m_shape == cli::CameraShape::kCircle    ? 1.0
           : m_shape == cli::CameraShape::kRounded ? 0.3
                                                   : 0.0;
}

std::string PreviewLooks::EffectName() const {
    switch (m_effect.Mode) {
        case kModeBlur:
            return m_effect.BlurIntensity == kBlurStrong ? "blur:strong"
                   : m_effect.BlurIntensity == 0         ? "blur:light"
                                                         : "blur";
        case kModeColor:
            return "color:" + std::to_string(m_effect.SolidColorPreset);
        case kModeGradient:
            return "gradient:" + std::to_string(m_effect.GradientPreset);
        case kModeImage:
            return "image:" + std::to_string(m_effect.ImagePreset);
        default:
            return "none";
    }
}

std::string PreviewLooks::ShapeName() const {
    return m_shape == cli::CameraShape::kCircle    ? "circle"
           : m_shape == cli::CameraShape::kRounded ? "rounded"
                                                   : "square";
}

}  // namespace tamro::preview
