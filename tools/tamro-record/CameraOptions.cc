#include "CameraOptions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace tamro::cli {
namespace {

// The bubble's default size and margin, as fractions of the video's height.
constexpr double kDefaultSide = 0.22;
constexpr double kDefaultMargin = 0.03;

bool ParseDouble(const std::string& text, double* value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, *value);
    return error == std::errc() && stop == end && std::isfinite(*value);
}

// "#RRGGBB" (opaque) or "#AARRGGBB".
bool ParseColour(const std::string& text, uint32_t* argb) {
    if (text.empty() || text[0] != '#' || (text.size() != 7 && text.size() != 9))
        return false;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data() + 1, end, *argb, 16);
    if (error != std::errc() || stop != end)
        return false;
    if (text.size() == 7)
        *argb |= 0xFF000000u;
    return true;
}

}  // namespace

std::optional<std::string> ParseCameraRect(const std::string& text, CameraOptions& options) {
    double values[4] = {};
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t comma = i < 3 ? text.find(',', start) : text.size();
        if (comma == std::string::npos ||
            !ParseDouble(text.substr(start, comma - start), &values[i]))
            return "--camera-rect needs X,Y,W,H as fractions of the video, not '" + text + "'";
        start = comma + 1;
    }
    const bool inside = values[0] >= 0 && values[1] >= 0 && values[2] > 0 && values[3] > 0 &&
                        values[0] + values[2] <= 1.0 && values[1] + values[3] <= 1.0;
    if (!inside)
        return "--camera-rect needs a rectangle inside the video (0 to 1), not '" + text + "'";
    CameraOverlayConfig rect;
    rect.x = values[0];
    rect.y = values[1];
    rect.width = values[2];
    rect.height = values[3];
    options.rect = rect;
    return std::nullopt;
}

std::optional<std::string> ParseCameraShape(const std::string& text, CameraOptions& options) {
    if (text == "circle")
        options.shape = CameraShape::kCircle;
    else if (text == "rounded")
        options.shape = CameraShape::kRounded;
    else if (text == "square")
        options.shape = CameraShape::kSquare;
    else
        return "--camera-shape needs circle, rounded or square, not '" + text + "'";
    return std::nullopt;
}

std::optional<std::string> ParseCameraBorder(const std::string& text, CameraOptions& options) {
    const std::string refused =
        "--camera-border needs COLOR/WIDTH such as #ffffff/4 (pixels, /dashed for a dashed "
        "line), not '" +
        text + "'";
    const size_t slash = text.find('/');
    if (slash == std::string::npos)
        return refused;
    std::string width = text.substr(slash + 1);
    bool dashed = false;
    if (const size_t style = width.find('/'); style != std::string::npos) {
        if (width.substr(style + 1) != "dashed")
            return refused;
        dashed = true;
        width.resize(style);
    }
    uint32_t colour = 0;
    double pixels = 0;
    if (!ParseColour(text.substr(0, slash), &colour) || !ParseDouble(width, &pixels) ||
        pixels < 0 || pixels > 100)
        return refused;
    options.borderColor = colour;
    options.borderPixels = pixels;
    options.borderDashed = dashed;
    return std::nullopt;
}

namespace {

// The preset count of each replacement, as the engine's tables have them.
constexpr int32_t kColorPresets = 6;
constexpr int32_t kGradientPresets = 4;
constexpr int32_t kImagePresets = 13;

bool ParsePreset(const std::string& text, int32_t count, int32_t* preset) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, *preset);
    return error == std::errc() && stop == end && *preset >= 0 && *preset < count;
}

}  // namespace

std::optional<std::string> ParseCameraEffect(const std::string& text, CameraOptions& options) {
    const size_t colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    const std::string value = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    BackgroundEffectConfig& effect = options.effect;
    effect.BlurIntensity = 1;
    if (kind == "none" && colon == std::string::npos) {
        effect.Mode = 0;
    } else if (kind == "blur" &&
               (value.empty() || value == "light" || value == "medium" || value == "strong")) {
        effect.Mode = 1;
        effect.BlurIntensity = value == "light" ? 0 : value == "strong" ? 2 : 1;
    } else if (kind == "color" && ParsePreset(value, kColorPresets, &effect.SolidColorPreset)) {
        effect.Mode = 2;
    } else if (kind == "gradient" && ParsePreset(value, kGradientPresets, &effect.GradientPreset)) {
        effect.Mode = 3;
    } else if (kind == "image" && ParsePreset(value, kImagePresets, &effect.ImagePreset)) {
        effect.Mode = 4;
    } else {
        return "--camera-effect needs none, blur[:light|medium|strong], color:0-5, gradient:0-3 "
               "or image:0-12, not '" +
               text + "'";
    }
    return std::nullopt;
}

std::optional<std::string> ParseEffectQuality(const std::string& text, CameraOptions& options) {
    static constexpr std::pair<const char*, int32_t> kQualities[] = {
        {"auto", 1}, {"every", 2}, {"half", 3}, {"third", 4}};
    for (const auto& [name, quality] : kQualities) {
        if (text == name) {
            options.effect.Quality = quality;
            options.effectQualityGiven = true;
            return std::nullopt;
        }
    }
    return "--effect-quality needs auto, every, half or third, not '" + text + "'";
}

CameraOverlayConfig MakeCameraOverlay(const CameraOptions& options, uint32_t width,
                                      uint32_t height) {
    CameraOverlayConfig config;
    config.enabled = !options.device.empty();
    config.deviceId = options.device;
    const double w = std::max<uint32_t>(width, 2);
    const double h = std::max<uint32_t>(height, 2);
    if (options.rect) {
        config.x = options.rect->x;
        config.y = options.rect->y;
        config.width = options.rect->width;
        config.height = options.rect->height;
    } else {
        const double side = kDefaultSide * h;
        const double margin = kDefaultMargin * h;
        config.width = side / w;
        config.height = side / h;
        config.x = 1.0 - (side + margin) / w;
        config.y = 1.0 - (side + margin) / h;
    }
    config.cornerRadius = options.shape == CameraShape::kCircle    ? 1.0
                          : options.shape == CameraShape::kRounded ? 0.35
                                                                   : 0.0;
    config.mirror = options.mirror;
    config.fillMode = 1;
    config.opacity = 1.0;
    config.borderColor = options.borderColor;
    // The border's width is a fraction of the bubble's half-extent.
    const double halfSide = std::min(config.width * w, config.height * h) / 2.0;
    const double border = halfSide > 0 ? std::min(options.borderPixels / halfSide, 1.0) : 0.0;
    config.borderWidth = options.borderDashed ? -border : border;
    config.effect = options.effect;
    // Auto unless asked otherwise: the model runs as often as the machine's load allows.
    if (!options.effectQualityGiven)
        config.effect.Quality = 1;
    return config;
}

void PrintCameras(const std::vector<CameraDescription>& cameras) {
    std::printf("Cameras:\n");
    if (cameras.empty())
        std::printf(
            "  none (test:720p30, test:1080p30 or test:WxH@FPS: the built-in test camera)\n");
    for (const CameraDescription& camera : cameras) {
        std::printf("  %s  %s\n", camera.id.c_str(), camera.name.c_str());
        for (const CameraFormatDescription& format : camera.formats)
            std::printf("      %-6s %ux%u @ %.4g fps\n", format.subtype.c_str(), format.width,
                        format.height, format.fps);
    }
}

}  // namespace tamro::cli
