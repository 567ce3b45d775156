#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/audio/AudioEndpoint.h"
#include "platform/audio/SyntheticAudioDevices.h"

namespace tamro::platform {

// Opens the audio server the engine talks to; a failing code and no devices when there is none.
using AudioDevicesConnector = std::function<uint32_t(std::unique_ptr<AudioDevices>* devices)>;

// The platform's server (PulseAudio).
AudioDevicesConnector PlatformAudioDevices();

// Generated endpoints (tests, demo); every connection shares `setup`.
AudioDevicesConnector SyntheticAudio(std::shared_ptr<const SyntheticAudioSetup> setup);

}  // namespace tamro::platform
