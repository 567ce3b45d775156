#include "platform/audio/AudioResult.h"
#include "session/ComponentFactory.h"
#include "tamro/Desktop.h"

namespace tamro {
namespace {

std::vector<AudioDeviceDescription> Describe(const std::vector<platform::AudioDeviceInfo>& devices,
                                             const std::string& defaultId) {
    std::vector<AudioDeviceDescription> described;
    for (const platform::AudioDeviceInfo& device : devices)
        described.push_back({device.id, device.description, device.id == defaultId});
    return described;
}

}  // namespace

std::optional<AudioDescription> DescribeAudio(ScreenSource source) {
    const platform::AudioDevicesConnector connect = source == ScreenSource::kSynthetic
                                                        ? ComponentFactory::SyntheticAudio()
                                                        : ComponentFactory::DefaultAudio();
    std::unique_ptr<platform::AudioDevices> devices;
    platform::AudioDeviceList list;
    if (platform::AudioFailed(connect(&devices)) || !devices ||
        platform::AudioFailed(devices->ListDevices(&list)))
        return std::nullopt;
    return AudioDescription{Describe(list.captureDevices, list.defaultCapture),
                            Describe(list.renderDevices, list.defaultRender)};
}

}  // namespace tamro
