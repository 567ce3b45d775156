#include "platform/display/DisplayFactory.h"
#include "tamro/Desktop.h"

namespace tamro {

std::optional<DesktopDescription> DescribeDesktop(ScreenSource source) {
    const std::shared_ptr<platform::Display> display = platform::OpenDisplay(
        source == ScreenSource::kSynthetic ? platform::DisplayBackend::kSynthetic
                                           : platform::DisplayBackend::kPlatform);
    if (!display)
        return std::nullopt;
    DesktopDescription description;
    for (const platform::MonitorInfo& m : display->Monitors())
        description.monitors.push_back({m.id, m.x, m.y, m.width, m.height, m.primary, m.name});
    for (const platform::WindowInfo& w : display->Windows()) {
        description.windows.push_back({w.id, w.title, w.processId, w.x, w.y, w.width, w.height});
    }
    return description;
}

}  // namespace tamro
