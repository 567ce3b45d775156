#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tamro::platform::camera {

// A failed camera operation, as the platform raises it: a result code and the system's message
// ("open /dev/video0: Device or resource busy").
class CameraError : public std::runtime_error {
  public:
    CameraError(int32_t code, const std::string& message)
        : std::runtime_error(message), m_code(code) {}
    int32_t Code() const { return m_code; }

  private:
    int32_t m_code;
};

// One (pixel format, frame size, frame rate) a camera offers. `subtype` is the name the format
// negotiation scores: "NV12", "YUY2", "MJPG", "BGRA8", "ARGB32", or the fourcc's own four
// characters for a format the engine cannot read.
struct VideoFormat {
    uint32_t fourcc = 0;
    std::string subtype;
    uint32_t width = 0;
    uint32_t height = 0;
    // Frames per second as a fraction (the inverse of the driver's frame interval).
    uint32_t rateNumerator = 0;
    uint32_t rateDenominator = 0;

    bool operator==(const VideoFormat&) const = default;
};

// A format entry as the device lists it; a list entry may carry no video description.
struct FrameFormat {
    std::optional<VideoFormat> video;
};

// A source of frames as the device search sees it: here a device node that can capture video.
struct SourceInfo {
    // The device id: the node's /dev/v4l/by-id name when one links to it, else its node path
    // (/dev/videoN); a `test:` id for the synthetic camera.
    std::string id;
    // Where the device opens; a camera's owner may name it by this too.
    std::string path;
    std::string name;  // the driver's name of the card
    bool isColor = true;
};

// The sources of one physical camera.
struct SourceGroup {
    std::string name;
    std::vector<SourceInfo> sources;
};

// One picture as the reader delivers it: BGRA, opaque, rows `stride` bytes apart. `data` is null
// when the frame arrived but could not be read (a corrupt JPEG, a short buffer). Valid only
// during the delivery call.
struct Frame {
    const uint8_t* data = nullptr;
    uint32_t stride = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

using FrameSink = std::function<void(const Frame& frame)>;
// Told once, on the reader's thread, when delivery ends by itself (the device was unplugged),
// with the reason in a few words ("the camera was disconnected").
using StreamEndedSink = std::function<void(const std::string& reason)>;

// The reader's start status: 0 is success; the others are the platform's status numbers.
enum class ReaderStartStatus : int32_t {
    kSuccess = 0,
    kUnknownFailure = 1,
    kDeviceNotAvailable = 2,
    kOutputFormatNotSupported = 3,
    kExclusiveControlNotAvailable = 4,
};

// A frame source of an opened camera: its formats, and the one it delivers.
// Threading: the owner's threads, one call at a time.
class FrameSource {
  public:
    virtual ~FrameSource() = default;
    virtual const SourceInfo& Info() const = 0;
    virtual std::vector<FrameFormat> SupportedFormats() = 0;
    virtual FrameFormat CurrentFormat() = 0;
    // Throws CameraError when the device refuses the format.
    virtual void SetFormat(const VideoFormat& format) = 0;
};

// Delivers a source's frames, converted to BGRA, on a thread of its own between Start and Stop.
// Threading: Start and Stop from the owner's threads; the sink runs on the reader's thread, one
// frame at a time, and never after Stop returns.
class FrameReader {
  public:
    virtual ~FrameReader() = default;
    // Buffered: every frame in order. Realtime (the default): only the newest waiting frame.
    virtual void SetBuffered(bool buffered) = 0;
    virtual ReaderStartStatus Start(FrameSink sink, StreamEndedSink ended) = 0;
    // Ends delivery and waits for the reader's thread; may block as long as the device does
    // (the owner bounds the wait). Throws CameraError when the device fails to stop.
    virtual void Stop() = 0;
};

// An opened camera. Throws CameraError from its operations when the device fails.
// Threading: the owner's threads.
class CaptureSession {
  public:
    virtual ~CaptureSession() = default;
    virtual std::vector<FrameSource*> FrameSources() = 0;
    // A reader on `source` (one of FrameSources()) converting to BGRA.
    virtual std::unique_ptr<FrameReader> CreateFrameReader(FrameSource& source) = 0;
    // Releases the device; readers must be stopped first.
    virtual void Close() = 0;
};

// The cameras of the machine. Throws CameraError when a device cannot be opened.
// Threading: any thread.
class CameraSystem {
  public:
    virtual ~CameraSystem() = default;
    virtual std::vector<SourceGroup> FindAllSourceGroups() = 0;
    virtual std::unique_ptr<CaptureSession> Open(const SourceGroup& group) = 0;
};

// The cameras a device id names: the synthetic camera for `test:` ids, else the machine's V4L2
// devices.
using CameraSystemProvider = std::function<std::shared_ptr<CameraSystem>(std::string_view id)>;
std::shared_ptr<CameraSystem> DefaultCameraSystem(std::string_view deviceId);

// The subtype a driver's pixel format is scored by: NV12 "NV12", YUYV "YUY2", MJPG "MJPG", BGR4
// "BGRA8", AR24 "ARGB32"; any other fourcc its own four characters.
std::string SubtypeOf(uint32_t fourcc);

constexpr uint32_t Fourcc(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}

// True for the ids that open the synthetic camera.
constexpr bool IsSyntheticCameraId(std::string_view id) {
    return id.starts_with("test:");
}

}  // namespace tamro::platform::camera
