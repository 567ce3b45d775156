#include "platform/display/Magnification.h"

namespace tamro::platform {

uint32_t SetFullscreenMagnification(double, int32_t, int32_t) {
    return kMagnificationNotSupported;
}

void UninitializeMagnification() {}

}  // namespace tamro::platform
