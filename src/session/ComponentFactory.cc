#include "session/ComponentFactory.h"

#include "audio/AudioCapture.h"
#include "capture/ScreenCapture.h"
#include "encode/Encoder.h"
#include "platform/display/SyntheticDisplay.h"
#include "platform/display/X11Display.h"

namespace tamro {
namespace {

// The platform components on a display opened on first use; those still missing are null, and a
// session without them says so.
class PlatformComponentFactory final : public ComponentFactory {
  public:
    using DisplayOpener = std::shared_ptr<platform::Display> (*)();
    explicit PlatformComponentFactory(DisplayOpener open) : m_open(open) {}

    std::unique_ptr<IScreenCapture> CreateScreenCapture() override {
        return std::make_unique<ScreenCapture>(Desktop());
    }
    std::unique_ptr<IFocusZoomManager> CreateFocusZoomManager() override { return nullptr; }
    std::unique_ptr<IMagnifierManager> CreateMagnifierManager() override { return nullptr; }
    std::unique_ptr<IEncoder> CreateEncoder() override { return std::make_unique<Encoder>(); }
    // On the PulseAudio server; without one, Initialize fails and the session records no audio.
    std::unique_ptr<IAudioCapture> CreateAudioCapture() override {
        return std::make_unique<AudioCapture>();
    }
    std::optional<MonitorOrigin> FindMonitorOrigin(uint64_t monitor) override {
        const auto desktop = Desktop();
        const auto info = desktop ? desktop->FindMonitor(monitor) : std::nullopt;
        if (!info)
            return std::nullopt;
        return MonitorOrigin{info->x, info->y};
    }
    uint32_t WindowProcessId(uint64_t window) override {
        const auto desktop = Desktop();
        return desktop ? desktop->WindowProcessId(window) : 0;
    }

  private:
    // Null when the display cannot be opened (captures then fail to initialise).
    std::shared_ptr<platform::Display> Desktop() {
        std::call_once(m_opened, [this] { m_desktop = m_open(); });
        return m_desktop;
    }

    const DisplayOpener m_open;
    std::once_flag m_opened;
    std::shared_ptr<platform::Display> m_desktop;
};

}  // namespace

std::unique_ptr<ComponentFactory> ComponentFactory::CreateDefault() {
    return std::make_unique<PlatformComponentFactory>(
        []() -> std::shared_ptr<platform::Display> { return platform::X11Display::Open(); });
}

std::unique_ptr<ComponentFactory> ComponentFactory::CreateSynthetic() {
    return std::make_unique<PlatformComponentFactory>([]() -> std::shared_ptr<platform::Display> {
        return platform::SyntheticDisplay::Create();
    });
}

}  // namespace tamro
