#include "platform/camera/CameraSystem.h"

namespace tamro::platform::camera {

std::string SubtypeOf(uint32_t fourcc) {
    switch (fourcc) {
        case Fourcc('N', 'V', '1', '2'):
            return "NV12";
        case Fourcc('Y', 'U', 'Y', 'V'):
            return "YUY2";
        case Fourcc('M', 'J', 'P', 'G'):
            return "MJPG";
        case Fourcc('B', 'G', 'R', '4'):
            return "BGRA8";
        case Fourcc('A', 'R', '2', '4'):
            return "ARGB32";
        default:
            break;
    }
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i)
        text[i] = static_cast<char>((fourcc >> (8 * i)) & 0xFF);
    return text;
}

}  // namespace tamro::platform::camera
