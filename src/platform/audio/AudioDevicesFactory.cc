#include "platform/audio/AudioDevicesFactory.h"

#include "platform/audio/PulseAudioDevices.h"

namespace tamro::platform {

AudioDevicesConnector PlatformAudioDevices() {
    return &PulseAudioDevices::Connect;
}

AudioDevicesConnector SyntheticAudio(std::shared_ptr<const SyntheticAudioSetup> setup) {
    return [setup = std::move(setup)](std::unique_ptr<AudioDevices>* devices) {
        if (setup->serverDown->load()) {
            return kAudioServiceNotRunning;
        }
        *devices = std::make_unique<SyntheticAudioDevices>(setup);
        return kAudioOk;
    };
}

}  // namespace tamro::platform
