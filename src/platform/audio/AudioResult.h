#pragma once

#include <cstdint>

namespace tamro::platform {

// 32-bit result codes of the audio layer; the values are the ones the engine's log lines expect.
inline constexpr uint32_t kAudioOk = 0;
inline constexpr uint32_t kAudioNotImplemented = 0x80004001;
inline constexpr uint32_t kAudioFail = 0x80004005;
inline constexpr uint32_t kAudioInvalidArgument = 0x80070057;
inline constexpr uint32_t kAudioNotFound = 0x80070490;
inline constexpr uint32_t kAudioTimeout = 0x800705B4;
inline constexpr uint32_t kAudioNotInitialized = 0x88890001;
inline constexpr uint32_t kAudioAlreadyInitialized = 0x88890002;
inline constexpr uint32_t kAudioDeviceInvalidated = 0x88890004;
inline constexpr uint32_t kAudioServiceNotRunning = 0x88890010;
inline constexpr uint32_t kAudioUnsupportedFormat = 0x88890008;
// The engine's own: the output whose loopback an endpoint records is no longer the default one.
inline constexpr uint32_t kAudioDefaultDeviceChanged = 0x8889F001;

constexpr bool AudioFailed(uint32_t result) noexcept {
    return (result & 0x80000000u) != 0;
}

}  // namespace tamro::platform
