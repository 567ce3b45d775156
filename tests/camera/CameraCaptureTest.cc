#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "camera/CameraCapture.h"
#include "platform/system/ManualClock.h"
#include "support/LogCapture.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

using namespace std::chrono_literals;
using namespace platform::camera;

FrameFormat Video(const char* subtype, uint32_t width, uint32_t height, uint32_t numerator,
                  uint32_t denominator = 1) {
    return {VideoFormat{.subtype = subtype,
                        .width = width,
                        .height = height,
                        .rateNumerator = numerator,
                        .rateDenominator = denominator}};
}

// A 1080p webcam as V4L2 lists it.
const std::vector<FrameFormat> kWebcamFormats = {
    Video("MJPG", 1920, 1080, 30), Video("YUY2", 1920, 1080, 5), Video("YUY2", 640, 480, 30)};

// The camera's script and what it saw. Shared with everything it hands out, which a stop that
// was abandoned keeps past the test.
struct FakeCamera {
    std::vector<SourceGroup> groups = {{"Webcam", {{.id = "usb-cam"}}}};
    std::vector<SourceInfo> sessionSources = {{.id = "usb-cam"}};
    std::vector<FrameFormat> formats = kWebcamFormats;
    FrameFormat current = Video("YUY2", 640, 480, 30);
    bool refuseFormat = false;
    ReaderStartStatus startStatus = ReaderStartStatus::kSuccess;

    std::string openedGroup;
    std::optional<VideoFormat> formatSet;
    bool buffered = false;
    int readerStarts = 0;
    int closes = 0;
    FrameSink sink;
    StreamEndedSink ended;
};

class FakeSource final : public FrameSource {
  public:
    FakeSource(std::shared_ptr<FakeCamera> camera, SourceInfo info)
        : m_camera(std::move(camera)), m_info(std::move(info)) {}
    const SourceInfo& Info() const override { return m_info; }
    std::vector<FrameFormat> SupportedFormats() override { return m_camera->formats; }
    FrameFormat CurrentFormat() override { return m_camera->current; }
    void SetFormat(const VideoFormat& format) override {
        if (m_camera->refuseFormat)
            throw CameraError(kFail, "VIDIOC_S_FMT: Device or resource busy");
        m_camera->formatSet = format;
    }

  private:
    std::shared_ptr<FakeCamera> m_camera;
    SourceInfo m_info;
};

class FakeReader final : public FrameReader {
  public:
    explicit FakeReader(std::shared_ptr<FakeCamera> camera) : m_camera(std::move(camera)) {}
    void SetBuffered(bool buffered) override { m_camera->buffered = buffered; }
    ReaderStartStatus Start(FrameSink sink, StreamEndedSink ended) override {
        ++m_camera->readerStarts;
        m_camera->sink = std::move(sink);
        m_camera->ended = std::move(ended);
        return m_camera->startStatus;
    }
    void Stop() override {}

  private:
    std::shared_ptr<FakeCamera> m_camera;
};

class FakeSession final : public CaptureSession {
  public:
    explicit FakeSession(std::shared_ptr<FakeCamera> camera) : m_camera(std::move(camera)) {
        for (const SourceInfo& info : m_camera->sessionSources)
            m_sources.push_back(std::make_unique<FakeSource>(m_camera, info));
    }
    std::vector<FrameSource*> FrameSources() override {
        std::vector<FrameSource*> sources;
        for (const auto& source : m_sources)
            sources.push_back(source.get());
        return sources;
    }
    std::unique_ptr<FrameReader> CreateFrameReader(FrameSource&) override {
        return std::make_unique<FakeReader>(m_camera);
    }
    void Close() override { ++m_camera->closes; }

  private:
    std::shared_ptr<FakeCamera> m_camera;
    std::vector<std::unique_ptr<FakeSource>> m_sources;
};

class FakeSystem final : public CameraSystem {
  public:
    explicit FakeSystem(std::shared_ptr<FakeCamera> camera) : m_camera(std::move(camera)) {}
    std::vector<SourceGroup> FindAllSourceGroups() override { return m_camera->groups; }
    std::unique_ptr<CaptureSession> Open(const SourceGroup& group) override {
        m_camera->openedGroup = group.name;
        return std::make_unique<FakeSession>(m_camera);
    }

  private:
    std::shared_ptr<FakeCamera> m_camera;
};

CameraSystemProvider Provide(std::shared_ptr<FakeCamera> camera) {
    auto system = std::make_shared<FakeSystem>(std::move(camera));
    return [system](std::string_view) { return system; };
}

// An opaque BGRA picture of one colour.
struct Picture {
    Picture(uint32_t width, uint32_t height, uint8_t blue)
        : pixels(size_t{width} * height * 4, 0xFF), frame{nullptr, width * 4, width, height} {
        for (size_t i = 0; i < pixels.size(); i += 4)
            pixels[i] = blue;
        frame.data = pixels.data();
    }
    std::vector<uint8_t> pixels;
    Frame frame;
};

bool HasLine(const test::LogCapture& log, std::string_view line) {
    const std::vector<std::string> lines = log.Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// What the frame callback was given.
struct Delivery {
    gfx::Texture* texture = nullptr;
    std::vector<int64_t> timestamps;
    uint8_t firstBlue = 0;
    CameraFrameCallback Callback() {
        return [this](gfx::Texture* frame, int64_t timestamp) {
            texture = frame;
            timestamps.push_back(timestamp);
            firstBlue = frame->Data()[0];
        };
    }
};

TEST(CameraCaptureTest, ScoresFormatsBySizeSubtypeAndRate) {
    auto scores = [](uint32_t width, uint32_t height) {
        std::vector<int32_t> result;
        for (const FrameFormat& format : kWebcamFormats)
            result.push_back(ScoreFormat(format, width, height, 30));
        return result;
    };
    EXPECT_EQ(scores(1920, 1080), (std::vector{1140, 1090, 190}));
    EXPECT_EQ(ChooseFormat(kWebcamFormats, 1920, 1080, 30), 0u);
    EXPECT_EQ(scores(640, 480), (std::vector{140, 90, 1190}));
    EXPECT_EQ(ChooseFormat(kWebcamFormats, 640, 480, 30), 2u);

    // 29.97 counts as 29; no denominator as a rate of 0.
    EXPECT_EQ(ScoreFormat(Video("NV12", 640, 480, 30000, 1001), 640, 480, 30), 1190);
    EXPECT_EQ(ScoreFormat(Video("NV12", 640, 480, 30, 0), 640, 480, 5), 1150);
    EXPECT_EQ(ScoreFormat(Video("GREY", 641, 479, 15), 640, 480, 30), 998);
    EXPECT_EQ(ScoreFormat(FrameFormat{}, 640, 480, 30), -1);

    EXPECT_EQ(
        ChooseFormat({Video("BGRA8", 640, 480, 30), Video("ARGB32", 640, 480, 30)}, 640, 480, 30),
        0u);
    EXPECT_EQ(ChooseFormat({FrameFormat{}, Video("GREY", 4000, 3000, 1)}, 640, 480, 30), 1u);
    EXPECT_EQ(ChooseFormat({FrameFormat{}}, 640, 480, 30), std::nullopt);
    EXPECT_EQ(ChooseFormat({}, 640, 480, 30), std::nullopt);
}

TEST(CameraCaptureTest, OpensTheGroupAndSourceTheIdNames) {
    test::LogCapture log;
    auto camera = std::make_shared<FakeCamera>();
    camera->groups = {{"Depth", {{.id = "ir", .isColor = false}}},
                      {"Front", {{.id = "front"}}},
                      {"Back", {{.id = "back"}}}};
    camera->sessionSources = {{.id = "ir", .isColor = false}, {.id = "front"}};

    CameraCapture any(Provide(camera));
    ASSERT_TRUE(any.Initialize("", 640, 480, 30));
    EXPECT_TRUE(any.InitializeMediaCaptureWithCallbackAsync([](gfx::Texture*, int64_t) {})->Get());
    EXPECT_EQ(camera->openedGroup, "Front");

    // The group matches, but the opened camera's colour source is another one.
    CameraCapture back(Provide(camera));
    ASSERT_TRUE(back.Initialize("back", 640, 480, 30));
    EXPECT_FALSE(back.StartAsync([](gfx::Texture*, int64_t) {})->Get());
    EXPECT_EQ(camera->openedGroup, "Back");
    EXPECT_TRUE(HasLine(log, "[CameraCapture] No color frame source found for requested device"));

    CameraCapture wrongCase(Provide(camera));
    ASSERT_TRUE(wrongCase.Initialize("BACK", 640, 480, 30));
    EXPECT_FALSE(wrongCase.InitializeMediaCaptureWithCallbackAsync({})->Get());
    EXPECT_TRUE(
        log.Contains("[CameraCapture] No suitable camera found for requested device "
                     "(prepare)"));
}

TEST(CameraCaptureTest, PreparedCameraStartsOnceAndStampsFramesFromItsOrigin) {
    test::LogCapture log;
    auto camera = std::make_shared<FakeCamera>();
    auto clock = std::make_shared<platform::ManualClock>();
    CameraCapture capture(Provide(camera), {.clock = clock});
    EXPECT_FALSE(capture.StartCapturing());
    EXPECT_TRUE(log.Contains(
        "[CameraCapture] StartCapturing: Not prepared - MediaCapture not initialized"));

    ASSERT_TRUE(capture.Initialize("usb-cam", 1920, 1080, 30));
    capture.SetBufferedAcquisition(true);
    Delivery delivery;
    ASSERT_TRUE(capture.InitializeMediaCaptureWithCallbackAsync(delivery.Callback())->Get());
    EXPECT_EQ(camera->formatSet, kWebcamFormats[0].video);
    EXPECT_TRUE(camera->buffered);
    EXPECT_EQ(camera->readerStarts, 0);

    const int64_t startNs = clock->NowNs();
    ASSERT_TRUE(capture.StartCapturing());
    EXPECT_TRUE(capture.StartCapturing());
    EXPECT_EQ(camera->readerStarts, 1);

    Picture full(1920, 1080, 7);
    clock->AdvanceTo(startNs + 33'366'789);
    camera->sink(full.frame);
    capture.SetSessionStartTime(startNs - 1'000'000'000);
    camera->sink(full.frame);
    EXPECT_EQ(delivery.timestamps, (std::vector<int64_t>{333'660, 10'333'660}));
    EXPECT_EQ(delivery.firstBlue, 7);

    // A smaller picture replaces the texture before it is copied.
    Picture small(320, 240, 9);
    camera->sink(small.frame);
    EXPECT_EQ(capture.Width(), 320u);
    EXPECT_EQ(capture.Height(), 240u);
    EXPECT_EQ(delivery.texture->Width(), 320u);
    EXPECT_EQ(delivery.firstBlue, 9);
}

TEST(CameraCaptureTest, UnusableFramesCountAsCopyFailures) {
    test::LogCapture log;
    auto camera = std::make_shared<FakeCamera>();
    CameraCapture capture(Provide(camera));
    ASSERT_TRUE(capture.Initialize("", 640, 480, 30));
    Delivery delivery;
    ASSERT_TRUE(capture.StartAsync(delivery.Callback())->Get());

    camera->sink(Frame{.width = 640, .height = 480});
    EXPECT_TRUE(log.Contains("[CameraCapture] No usable SoftwareBitmap or Direct3DSurface"));
    EXPECT_TRUE(HasLine(log, "[CameraCapture] CopyFrameToTexture failed (count: 1)"));

    capture.GetDevice()->SetFaults({.failTextureCreation = true});
    Picture other(800, 600, 1);
    camera->sink(other.frame);
    EXPECT_TRUE(log.Contains("[CameraCapture] EnsureFrameTexture: CreateTexture2D failed"));
    EXPECT_TRUE(log.Contains("[CameraCapture] SoftwareBitmap present but copy failed"));
    for (int i = 0; i < 58; ++i)
        camera->sink(Frame{});
    EXPECT_EQ(log.Count("[CameraCapture] CopyFrameToTexture failed"), 2);
    EXPECT_TRUE(log.Contains("(count: 60)"));
    EXPECT_EQ(log.Count("No usable SoftwareBitmap"), 1);
    EXPECT_TRUE(delivery.timestamps.empty());
}

TEST(CameraCaptureTest, FallsBackOnDevicesAndFormatsButNotOnAFailedStart) {
    test::LogCapture log;
    auto camera = std::make_shared<FakeCamera>();
    auto warpOnly = [](gfx::DriverType type, int32_t* result) {
        *result = kFail;
        return type == gfx::DriverType::kWarp ? gfx::Device::Create(type) : nullptr;
    };
    CameraCapture warp(Provide(camera), {.createDevice = warpOnly});
    EXPECT_FALSE(warp.StartAsync({})->Get());
    EXPECT_TRUE(warp.Initialize("usb-cam", 1920, 1080, 30));
    EXPECT_TRUE(log.Contains("[CameraCapture] Hardware D3D11 failed, trying WARP..."));

    // A refused format leaves the camera's own.
    camera->refuseFormat = true;
    EXPECT_TRUE(warp.InitializeMediaCaptureWithCallbackAsync({})->Get());
    EXPECT_TRUE(log.Contains("[CameraCapture] Could not set preferred format, using default"));
    EXPECT_EQ(warp.Width(), 640u);

    CameraCapture none(Provide(camera), {.createDevice = [](gfx::DriverType, int32_t* result) {
                           *result = kFail;
                           return std::shared_ptr<gfx::Device>();
                       }});
    EXPECT_FALSE(none.Initialize("usb-cam", 640, 480, 30));
    EXPECT_TRUE(
        log.Contains("[CameraCapture] Failed to create D3D11 device (both hardware and WARP)"));

    camera->startStatus = ReaderStartStatus::kDeviceNotAvailable;
    CameraCapture busy(Provide(camera));
    ASSERT_TRUE(busy.Initialize("usb-cam", 640, 480, 30));
    EXPECT_FALSE(busy.StartAsync({})->Get());
    EXPECT_TRUE(log.Contains("[CameraCapture] Failed to start frame reader: 2"));
    EXPECT_FALSE(busy.IsCapturing());
}

}  // namespace
}  // namespace tamro
