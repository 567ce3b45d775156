#include "session/ComponentFactory.h"

#include "encode/Encoder.h"

namespace tamro {
namespace {

// The platform components are added here as they land; until then a session cannot start and
// says so ("Failed to initialize screen capture").
class PlatformComponentFactory final : public ComponentFactory {
  public:
    std::unique_ptr<IScreenCapture> CreateScreenCapture() override { return nullptr; }
    std::unique_ptr<IFocusZoomManager> CreateFocusZoomManager() override { return nullptr; }
    std::unique_ptr<IMagnifierManager> CreateMagnifierManager() override { return nullptr; }
    std::unique_ptr<IEncoder> CreateEncoder() override { return std::make_unique<Encoder>(); }
    std::unique_ptr<IAudioCapture> CreateAudioCapture() override { return nullptr; }
    std::optional<MonitorOrigin> FindMonitorOrigin(uint64_t) override { return std::nullopt; }
    uint32_t WindowProcessId(uint64_t) override { return 0; }
};

}  // namespace

std::unique_ptr<ComponentFactory> ComponentFactory::CreateDefault() {
    return std::make_unique<PlatformComponentFactory>();
}

}  // namespace tamro
