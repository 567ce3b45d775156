#pragma once

#include <memory>

#include "platform/display/Display.h"

namespace tamro::platform {

enum class DisplayBackend {
    kPlatform,   // the X server named by $DISPLAY
    kSynthetic,  // the built-in animated scene, its cursor touring the screen
};

// Opens the desktop the engine captures; null when it cannot be opened.
std::shared_ptr<Display> OpenDisplay(DisplayBackend backend);

}  // namespace tamro::platform
