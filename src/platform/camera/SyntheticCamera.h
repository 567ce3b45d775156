#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/camera/CameraSystem.h"
#include "platform/system/Clock.h"

namespace tamro::platform::camera {

// What a synthetic camera id asks for.
struct SyntheticCameraMode {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t rate = 0;  // frames per second

    bool operator==(const SyntheticCameraMode&) const = default;
};

// The mode a `test:` id names: "test:" is 1280×720 at 30 frames per second; "test:<H>p<R>"
// takes H = 480 (640×480), 720, 1080, 1440 or 2160 (16:9) at R per second, as in "test:1080p30";
// "test:<W>x<H>@<R>" any even size from 16 to 8192 at 1 to 240 per second, as in
// "test:800x600@15". Null for anything else.
std::optional<SyntheticCameraMode> ParseSyntheticCameraId(std::string_view id);

// The synthetic camera `id` names (see SyntheticPicture for what it shows), as a camera system
// that holds that one camera under that very id: the device search matches ids exactly, and
// "test:<W>x<H>@<R>" names sizes no fixed list could hold. When `id` names no mode,
// FindAllSourceGroups and Open throw CameraError "no such camera", as for a missing device.
// It offers, like a webcam, YUY2 and MJPG at its size and rate and YUY2 640×480 at 30, and
// delivers frames of whichever is set, on `clock` (the steady clock when null).
std::shared_ptr<CameraSystem> MakeSyntheticCameraSystem(std::string_view id = "test:",
                                                        std::shared_ptr<Clock> clock = nullptr);

}  // namespace tamro::platform::camera
