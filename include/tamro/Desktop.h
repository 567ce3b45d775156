#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tamro/Export.h"

namespace tamro {

// Where a recorder takes its pictures from.
enum class ScreenSource {
    kDesktop,    // the X display named by $DISPLAY
    kSynthetic,  // the built-in animated scene: moving shapes, a running clock and a cursor
};

struct MonitorDescription {
    uint64_t id = 0;  // a RecordingConfig's MonitorHandle; 0 also means the primary monitor
    int32_t x = 0;
    int32_t y = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    bool primary = false;
    std::string name;
};

struct WindowDescription {
    uint64_t id = 0;  // a RecordingConfig's WindowHandle
    std::string title;
    uint32_t processId = 0;
    int32_t x = 0;
    int32_t y = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

struct DesktopDescription {
    std::vector<MonitorDescription> monitors;
    std::vector<WindowDescription> windows;
};

// The monitors and windows `source` offers; nothing when it cannot be opened (no X display).
TAMRO_API std::optional<DesktopDescription> DescribeDesktop(ScreenSource source);

struct AudioDeviceDescription {
    std::string id;  // a RecordingConfig's MicrophoneDeviceId, for a microphone
    std::string description;
    bool isDefault = false;
};

struct AudioDescription {
    // Every source a recording can take as its microphone, the outputs' loopbacks included.
    std::vector<AudioDeviceDescription> microphones;
    // The system outputs; the default one is what system audio records.
    std::vector<AudioDeviceDescription> outputs;
};

// The audio devices the recorders of `source` would use; nothing when there is no audio server.
TAMRO_API std::optional<AudioDescription> DescribeAudio(ScreenSource source);

struct CameraFormatDescription {
    std::string subtype;  // "MJPG", "YUY2", "NV12", ...
    uint32_t width = 0;
    uint32_t height = 0;
    double fps = 0.0;
};

struct CameraDescription {
    std::string id;  // a CameraOverlayConfig's deviceId
    std::string name;
    std::vector<CameraFormatDescription> formats;
};

// The machine's cameras with the formats each offers; a camera in use by another program is
// listed without its formats.
TAMRO_API std::vector<CameraDescription> DescribeCameras();

}  // namespace tamro
