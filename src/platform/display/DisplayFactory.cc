#include "platform/display/DisplayFactory.h"

#include "platform/display/SyntheticDisplay.h"
#include "platform/display/SyntheticScene.h"
#include "platform/display/X11Display.h"

namespace tamro::platform {

std::shared_ptr<Display> OpenDisplay(DisplayBackend backend) {
    if (backend == DisplayBackend::kPlatform) {
        return X11Display::Open();
    }
    SyntheticDisplay::Options options;
    options.cursorPath = &SyntheticScene::CursorTour;
    return SyntheticDisplay::Create(std::move(options));
}

}  // namespace tamro::platform
