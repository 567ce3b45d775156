#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "audio/IAudioCapture.h"
#include "camera/ICameraFrameEffect.h"
#include "capture/IFocusZoomManager.h"
#include "capture/IMagnifierManager.h"
#include "capture/IScreenCapture.h"
#include "encode/IEncoder.h"
#include "platform/audio/AudioDevicesFactory.h"
#include "platform/camera/CameraSystem.h"
#include "platform/window/BubbleSurface.h"

namespace tamro {

struct MonitorOrigin {
    int32_t left = 0;
    int32_t top = 0;
};

// Builds the components of a recording session and answers the two desktop questions the session
// asks itself. Tests substitute factories whose components fail, hang or delay.
// A Create call returns a working component or null when this platform has none.
class ComponentFactory {
  public:
    virtual ~ComponentFactory() = default;

    virtual std::unique_ptr<IScreenCapture> CreateScreenCapture() = 0;
    virtual std::unique_ptr<IFocusZoomManager> CreateFocusZoomManager() = 0;
    virtual std::unique_ptr<IMagnifierManager> CreateMagnifierManager() = 0;
    virtual std::unique_ptr<IEncoder> CreateEncoder() = 0;
    virtual std::unique_ptr<IAudioCapture> CreateAudioCapture() = 0;

    // Left and top of a monitor in desktop coordinates; nothing when the lookup fails.
    virtual std::optional<MonitorOrigin> FindMonitorOrigin(uint64_t monitor) = 0;
    // Process id of a window's owner, 0 when it cannot be read.
    virtual uint32_t WindowProcessId(uint64_t window) = 0;
    // The cameras the bubble opens, by device id; empty for the platform's.
    virtual platform::camera::CameraSystemProvider Cameras() const { return {}; }
    // The cameras' background effects; empty for the segmentation-based processor.
    virtual CameraEffectFactory Effects() const { return {}; }
    // The bubble window's drawing surface; empty for the platform's.
    virtual platform::window::BubbleSurfaceFactory BubbleSurfaces() const { return {}; }
    // The session's clock in nanoseconds; empty for the steady clock.
    virtual std::function<int64_t()> Clock() const { return {}; }

    // The factory of the real components of this platform.
    static std::unique_ptr<ComponentFactory> CreateDefault();
    // The audio servers of the two factories.
    static platform::AudioDevicesConnector DefaultAudio();
    static platform::AudioDevicesConnector SyntheticAudio();
    // The same components, with the screen captured from the built-in synthetic display.
    static std::unique_ptr<ComponentFactory> CreateSynthetic();
};

}  // namespace tamro
