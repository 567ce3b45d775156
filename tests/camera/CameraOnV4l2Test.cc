#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "camera/CameraCapture.h"
#include "platform/FakeV4l2Kernel.h"
#include "platform/camera/V4l2CameraSystem.h"
#include "platform/system/ManualClock.h"
#include "support/JpegFrames.h"
#include "support/LogCapture.h"

namespace tamro {
namespace {

using namespace std::chrono_literals;
using test::FakeCamera;

constexpr auto kWait = 5s;  // generous: a loaded machine may run the reader late
constexpr char kNode[] = "/dev/video0";
constexpr char kStableName[] = "usb-Acme_HD_Webcam_C1_0123-video-index0";
constexpr char kStableId[] = "/dev/v4l/by-id/usb-Acme_HD_Webcam_C1_0123-video-index0";

// A 1080p webcam: MJPEG at full size and rate, YUYV only at 5 fps in full size.
FakeCamera Webcam() {
    return {.node = kNode,
            .card = "HD Webcam C1",
            .byId = kStableName,
            .formats = {{.fourcc = V4L2_PIX_FMT_MJPEG, .sizes = {{1920, 1080, {{1, 30}, {1, 15}}}}},
                        {.fourcc = V4L2_PIX_FMT_YUYV,
                         .sizes = {{1920, 1080, {{1, 5}}}, {640, 480, {{1, 30}}}}}}};
}

// A camera of small formats, so that frames are cheap to make; YUYV 64x48 unless given.
FakeCamera SmallCamera(std::string node, std::vector<test::FakeCameraFormat> formats = {
                                             {V4L2_PIX_FMT_YUYV, {{64, 48, {{1, 30}}}}}}) {
    return {.node = std::move(node), .card = "Small Cam", .formats = std::move(formats)};
}

struct Colour {
    int b = 0, g = 0, r = 0;
};
constexpr Colour kOrange{40, 120, 200};
constexpr Colour kTeal{150, 130, 20};

::testing::AssertionResult Near(Colour actual, Colour expected, int tolerance) {
    if (std::abs(actual.b - expected.b) <= tolerance &&
        std::abs(actual.g - expected.g) <= tolerance &&
        std::abs(actual.r - expected.r) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "BGR " << actual.b << "," << actual.g << "," << actual.r << " instead of "
           << expected.b << "," << expected.g << "," << expected.r;
}

// YUYV in the studio-range BT.601 matrix webcams use, computed here independently of the
// decoder.
std::vector<uint8_t> Yuyv(uint32_t width, uint32_t height, Colour c) {
    auto byte = [](double v) { return static_cast<uint8_t>(std::lround(v)); };
    const uint8_t y = byte(16 + 0.257 * c.r + 0.504 * c.g + 0.098 * c.b);
    const uint8_t u = byte(128 - 0.148 * c.r - 0.291 * c.g + 0.439 * c.b);
    const uint8_t v = byte(128 + 0.439 * c.r - 0.368 * c.g - 0.071 * c.b);
    std::vector<uint8_t> frame;
    for (uint32_t i = 0; i < width * height / 2; ++i)
        frame.insert(frame.end(), {y, u, y, v});
    return frame;
}

std::vector<uint8_t> Jpeg(uint32_t width, uint32_t height, Colour c) {
    std::vector<uint8_t> bgra;
    for (uint32_t i = 0; i < width * height; ++i)
        bgra.insert(bgra.end(), {static_cast<uint8_t>(c.b), static_cast<uint8_t>(c.g),
                                 static_cast<uint8_t>(c.r), 0xFF});
    return test::EncodeJpeg(bgra.data(), width * 4, width, height, 90,
                            test::ChromaSubsampling::k422);
}

// What the camera's owner was given: each frame's size, time and centre pixel, and every end.
// The test reads the fields directly once the camera has stopped.
struct Owner {
    struct Seen {
        uint32_t width = 0, height = 0;
        int64_t timestamp = 0;
        Colour centre;
    };

    CameraFrameCallback FrameCallback() {
        return [this](gfx::Texture* texture, int64_t timestamp) {
            const uint8_t* pixel = texture->Row(texture->Height() / 2) + texture->Width() / 2 * 4;
            std::lock_guard lock(mutex);
            seen.push_back(
                {texture->Width(), texture->Height(), timestamp, {pixel[0], pixel[1], pixel[2]}});
            changed.notify_all();
        };
    }
    CameraEndedCallback EndedCallback() {
        return [this](const std::string& reason) {
            std::lock_guard lock(mutex);
            endings.push_back(reason);
        };
    }
    bool Wait(size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kWait, [&] { return seen.size() >= count; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Seen> seen;
    std::vector<std::string> endings;
};

class CameraOnV4l2Test : public ::testing::Test {
  protected:
    std::unique_ptr<CameraCapture> MakeCapture(std::chrono::milliseconds stopLimit = 10s) {
        auto system = std::make_shared<platform::camera::V4l2CameraSystem>(m_kernel);
        return std::make_unique<CameraCapture>(
            [system](std::string_view) { return system; },
            CameraCaptureEnvironment{.clock = m_clock, .readerStopLimit = stopLimit});
    }

    // A capture of `id` delivering to `owner`, started or null.
    std::unique_ptr<CameraCapture> Start(const std::string& id, uint32_t width, uint32_t height,
                                         uint32_t fps, Owner& owner) {
        auto capture = MakeCapture();
        capture->SetStreamEndedCallback(owner.EndedCallback());
        if (!capture->Initialize(id, width, height, fps) ||
            !capture->StartAsync(owner.FrameCallback())->Get())
            return nullptr;
        return capture;
    }

    bool Push(const std::string& node, const std::vector<uint8_t>& frame) {
        return m_kernel->WaitAllQueued(node, kWait) && m_kernel->PushFrames(node, {frame});
    }

    std::shared_ptr<test::FakeV4l2Kernel> m_kernel = std::make_shared<test::FakeV4l2Kernel>();
    std::shared_ptr<platform::ManualClock> m_clock = std::make_shared<platform::ManualClock>();
    test::LogCapture m_log;
};

TEST_F(CameraOnV4l2Test, NegotiationSetsTheDriverToTheBestFormatAndRate) {
    m_kernel->AddCamera(Webcam());
    struct Case {
        uint32_t width, height, fps, fourcc;
    };
    // In an order that makes every start change what the driver had.
    for (const Case& c :
         {Case{640, 480, 30, V4L2_PIX_FMT_YUYV}, Case{1920, 1080, 15, V4L2_PIX_FMT_MJPEG},
          Case{1920, 1080, 30, V4L2_PIX_FMT_MJPEG}}) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << "@" << c.fps);
        Owner owner;
        auto capture = Start(kStableId, c.width, c.height, c.fps, owner);
        ASSERT_NE(capture, nullptr);
        const v4l2_pix_format format = m_kernel->Format(kNode);
        EXPECT_EQ(format.pixelformat, c.fourcc);
        EXPECT_EQ(format.width, c.width);
        EXPECT_EQ(format.height, c.height);
        EXPECT_EQ(m_kernel->Interval(kNode).numerator, 1u);
        EXPECT_EQ(m_kernel->Interval(kNode).denominator, c.fps);
        EXPECT_TRUE(m_kernel->Streaming(kNode));
        EXPECT_EQ(capture->Width(), c.width);
        EXPECT_EQ(capture->Height(), c.height);
        capture->Stop();
        EXPECT_EQ(m_kernel->OpenDescriptors(kNode), 0);
    }

    // Without negotiation the camera keeps what it was set to, and its size is the frames'.
    auto asIs = MakeCapture();
    asIs->SetNegotiateFormat(false);
    ASSERT_TRUE(asIs->Initialize(kStableId, 640, 480, 30));
    Owner owner;
    ASSERT_TRUE(asIs->StartAsync(owner.FrameCallback())->Get());
    EXPECT_EQ(m_kernel->Format(kNode).pixelformat, V4L2_PIX_FMT_MJPEG);
    EXPECT_EQ(asIs->Width(), 1920u);
    EXPECT_EQ(asIs->Height(), 1080u);
    asIs->Stop();

    // Equal scores: the driver's first-listed wins, past a worse format listed before both.
    m_kernel->AddCamera(
        SmallCamera("/dev/video2", {{V4L2_PIX_FMT_YUYV, {{320, 240, {{1, 30}}}}},
                                    {V4L2_PIX_FMT_ABGR32, {{640, 480, {{1, 30}}}}},
                                    {V4L2_PIX_FMT_BGR32, {{640, 480, {{1, 30}}}}}}));
    auto tie = Start("/dev/video2", 640, 480, 30, owner);
    ASSERT_NE(tie, nullptr);
    EXPECT_EQ(m_kernel->Format("/dev/video2").pixelformat, V4L2_PIX_FMT_ABGR32);
    EXPECT_TRUE(m_log.Lines().empty()) << m_log.Lines().front();
}

TEST_F(CameraOnV4l2Test, DecodedFramesArriveWithTheirColourTimeAndSize) {
    // Asked for 720p, the camera gets its only size, and the frames have it.
    m_kernel->AddCamera(SmallCamera(kNode));
    Owner yuyv;
    auto capture = Start(kNode, 1280, 720, 30, yuyv);
    ASSERT_NE(capture, nullptr);
    EXPECT_EQ(capture->Width(), 64u);
    const int64_t originNs = m_clock->NowNs();
    m_clock->JumpTo(originNs + 33'366'789);
    ASSERT_TRUE(Push(kNode, Yuyv(64, 48, kOrange)));
    ASSERT_TRUE(yuyv.Wait(1));
    m_clock->JumpTo(originNs + 66'733'578);
    ASSERT_TRUE(Push(kNode, Yuyv(64, 48, kTeal)));
    ASSERT_TRUE(yuyv.Wait(2));
    capture->Stop();
    ASSERT_EQ(yuyv.seen.size(), 2u);
    EXPECT_EQ(yuyv.seen[0].timestamp, 333'660);
    EXPECT_EQ(yuyv.seen[1].timestamp, 667'330);
    EXPECT_TRUE(Near(yuyv.seen[0].centre, kOrange, 4));
    EXPECT_TRUE(Near(yuyv.seen[1].centre, kTeal, 4));
    EXPECT_EQ(yuyv.seen[1].width, 64u);
    EXPECT_EQ(yuyv.seen[1].height, 48u);

    // A driver that keeps its MJPEG when YUYV fits better: the frames come in its format.
    m_kernel->AddCamera(SmallCamera("/dev/video1", {{V4L2_PIX_FMT_MJPEG, {{96, 64, {{1, 30}}}}},
                                                    {V4L2_PIX_FMT_YUYV, {{64, 48, {{1, 30}}}}}}));
    m_kernel->RefuseFormats("/dev/video1");
    Owner mjpeg;
    auto jpegCapture = Start("/dev/video1", 64, 48, 30, mjpeg);
    ASSERT_NE(jpegCapture, nullptr);
    EXPECT_EQ(m_log.Lines(), std::vector<std::string>{
                                 "[CameraCapture] Could not set preferred format, using default"});
    EXPECT_EQ(jpegCapture->Width(), 96u);
    ASSERT_TRUE(Push("/dev/video1", Jpeg(96, 64, kTeal)));
    ASSERT_TRUE(mjpeg.Wait(1));
    jpegCapture->Stop();
    EXPECT_TRUE(Near(mjpeg.seen[0].centre, kTeal, 6));
    EXPECT_EQ(mjpeg.seen[0].width, 96u);
    EXPECT_EQ(mjpeg.seen[0].height, 64u);
}

TEST_F(CameraOnV4l2Test, BusyCameraFailsEitherStartWithOneLineSayingSo) {
    m_kernel->AddCamera(Webcam());
    m_kernel->FailOpen(kNode, EBUSY);

    auto full = MakeCapture();
    ASSERT_TRUE(full->Initialize(kStableId, 1920, 1080, 30));
    EXPECT_FALSE(full->StartAsync([](gfx::Texture*, int64_t) {})->Get());
    EXPECT_EQ(m_log.Lines(),
              std::vector<std::string>{
                  "[CameraCapture] Start failed: /dev/video0: Device or resource busy"});

    auto prepared = MakeCapture();
    ASSERT_TRUE(prepared->Initialize("", 1920, 1080, 30));
    EXPECT_FALSE(prepared->InitializeMediaCaptureWithCallbackAsync({})->Get());
    EXPECT_EQ(m_log.Count("[CameraCapture] InitializeMediaCaptureWithCallbackAsync failed: "
                          "/dev/video0: Device or resource busy"),
              1);
    EXPECT_EQ(m_log.Lines().size(), 2u);
    EXPECT_FALSE(full->IsCapturing());
}

TEST_F(CameraOnV4l2Test, StopAbandonsAStuckDequeueInTimeAndNothingFollows) {
    m_kernel->AddCamera(SmallCamera(kNode));
    for (bool destroyFirst : {false, true}) {
        SCOPED_TRACE(destroyFirst ? "destroyed before the release" : "released while alive");
        test::LogCapture log;
        Owner owner;
        auto capture = MakeCapture(300ms);
        ASSERT_TRUE(capture->Initialize(kNode, 64, 48, 30));
        ASSERT_TRUE(capture->StartAsync(owner.FrameCallback())->Get());
        m_kernel->HoldDequeue(kNode);
        ASSERT_TRUE(Push(kNode, Yuyv(64, 48, kTeal)));
        ASSERT_TRUE(m_kernel->WaitForHeldDequeue(kNode, kWait));

        const auto stopStart = std::chrono::steady_clock::now();
        capture->Stop();
        EXPECT_LT(std::chrono::steady_clock::now() - stopStart, 3s);
        EXPECT_EQ(
            log.Count("[CameraCapture] BlockOnAsyncAction timed out after 10s; abandoning wait"),
            1);
        EXPECT_EQ(m_kernel->OpenDescriptors(kNode), 0) << "the camera was left open";

        if (destroyFirst)
            capture.reset();
        m_kernel->ReleaseDequeue(kNode);
        EXPECT_TRUE(m_kernel->WaitUnmapped(kNode, kWait)) << "the abandoned reader kept buffers";
        EXPECT_EQ(log.Lines().size(), 1u) << "the closed device was reported as a failure";
        capture.reset();
        EXPECT_TRUE(owner.seen.empty()) << "a frame was delivered after Stop";
        EXPECT_TRUE(owner.endings.empty());
    }
}

TEST_F(CameraOnV4l2Test, ACameraIsNamedByItsStableNameOrItsNodeExactly) {
    m_kernel->AddCamera(SmallCamera(kNode));
    FakeCamera linked = SmallCamera("/dev/video2");
    linked.byId = kStableName;
    m_kernel->AddCamera(linked);

    for (const char* id : {kStableId, "/dev/video2"}) {
        SCOPED_TRACE(id);
        Owner owner;
        auto capture = Start(id, 64, 48, 30, owner);
        ASSERT_NE(capture, nullptr);
        EXPECT_TRUE(m_kernel->Streaming("/dev/video2"));
        EXPECT_FALSE(m_kernel->Streaming(kNode));
        ASSERT_TRUE(Push("/dev/video2", Yuyv(64, 48, kTeal)));
        EXPECT_TRUE(owner.Wait(1));
    }

    for (const char* id : {"/dev/VIDEO2", "/dev/video", "video2", "/dev/v4l/by-id/usb-Acme"}) {
        SCOPED_TRACE(id);
        Owner owner;
        EXPECT_EQ(Start(id, 64, 48, 30, owner), nullptr);
    }
    EXPECT_EQ(m_log.Count("[CameraCapture] No suitable camera found for requested device"), 4);
}

}  // namespace
}  // namespace tamro
