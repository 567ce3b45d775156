#include <memory>

#include "platform/camera/CameraSystem.h"
#include "platform/camera/LinuxV4l2Syscalls.h"
#include "platform/camera/SyntheticCamera.h"
#include "platform/camera/V4l2CameraSystem.h"

namespace tamro::platform::camera {

std::shared_ptr<CameraSystem> DefaultCameraSystem(std::string_view deviceId) {
    if (IsSyntheticCameraId(deviceId))
        return MakeSyntheticCameraSystem(deviceId);
    return std::make_shared<V4l2CameraSystem>(std::make_shared<LinuxV4l2Syscalls>());
}

}  // namespace tamro::platform::camera
