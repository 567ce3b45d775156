#include "platform/camera/CameraSystem.h"

namespace tamro::platform::camera {

// Stands in until the V4L2 and synthetic backends land: no cameras at all, so a start reports
// that none was found.
std::shared_ptr<CameraSystem> DefaultCameraSystem(std::string_view) {
    return nullptr;
}

}  // namespace tamro::platform::camera
