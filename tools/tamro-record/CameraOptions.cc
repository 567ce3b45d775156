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
