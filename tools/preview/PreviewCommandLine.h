#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "CameraOptions.h"

namespace tamro::preview {

// What the user asked of tamro-preview.
struct PreviewCommandLine {
    // The device, and the bubble's first effect, shape and mirror; keys change them later.
    cli::CameraOptions camera;
    uint32_t size = 320;            // the bubble window's side in pixels
    std::string record;             // empty: no recording
    std::optional<double> seconds;  // none: until quit
    bool synthetic = false;         // record the built-in scene instead of the primary monitor
    bool overwrite = false;
    bool verbose = false;
    bool help = false;
};

// The options, or the one-line reason they cannot be used.
std::variant<PreviewCommandLine, std::string> ParsePreviewCommandLine(
    const std::vector<std::string>& args);

std::string PreviewUsageText();

}  // namespace tamro::preview
