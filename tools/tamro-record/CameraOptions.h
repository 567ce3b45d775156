#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tamro/Desktop.h"
#include "tamro/Records.h"

namespace tamro::cli {

struct CommandLine;

enum class CameraShape { kCircle, kRounded, kSquare };

// The bubble as the user asked for it; turned into the recorder's settings once the size of
// the video is known.
struct CameraOptions {
    std::string device;                       // empty: no bubble
    std::optional<CameraOverlayConfig> rect;  // x, y, width, height only; none: bottom-right
    CameraShape shape = CameraShape::kCircle;
    uint32_t borderColor = 0xFFFFFFFF;  // 0xAARRGGBB
    double borderPixels = 0.0;
    bool borderDashed = false;
    bool mirror = false;
    BackgroundEffectConfig effect;  // Mode 0: none
    bool effectQualityGiven = false;
};

// "--camera-rect X,Y,W,H" (each 0..1), "--camera-shape circle|rounded|square" and
// "--camera-border COLOR/WIDTH[/dashed]" (#RRGGBB or #AARRGGBB, width in pixels): the reason a
// value is refused, or nothing.
std::optional<std::string> ParseCameraRect(const std::string& text, CameraOptions& options);
std::optional<std::string> ParseCameraShape(const std::string& text, CameraOptions& options);
std::optional<std::string> ParseCameraBorder(const std::string& text, CameraOptions& options);
// "--camera-effect none|blur[:light|medium|strong]|color:N|gradient:N|image:N" and
// "--effect-quality auto|every|half|third".
std::optional<std::string> ParseCameraEffect(const std::string& text, CameraOptions& options);
std::optional<std::string> ParseEffectQuality(const std::string& text, CameraOptions& options);

// The recorder's settings for a video of `width` x `height`: by default a bubble a fifth of the
// video's height across, in the bottom-right corner, square in pixels.
CameraOverlayConfig MakeCameraOverlay(const CameraOptions& options, uint32_t width,
                                      uint32_t height);

// The cameras and their formats, for --list.
void PrintCameras(const std::vector<CameraDescription>& cameras);

}  // namespace tamro::cli
