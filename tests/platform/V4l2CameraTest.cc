#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/FakeV4l2Kernel.h"
#include "platform/camera/LinuxV4l2Syscalls.h"
#include "platform/camera/V4l2CameraSystem.h"
#include "platform/system/SteadyClock.h"
#include "support/LogCapture.h"

namespace tamro::test {
namespace {

using namespace std::chrono_literals;
using namespace platform::camera;

constexpr auto kWait = 5s;  // generous: a loaded machine may run the reader late
constexpr char kNode[] = "/dev/video0";

FakeCamera Webcam(std::string node, std::string byId = {}) {
    return {.node = std::move(node),
            .card = "HD Webcam C1",
            .byId = std::move(byId),
            .formats = {{.fourcc = V4L2_PIX_FMT_MJPEG, .sizes = {{1920, 1080, {{1, 30}}}}},
                        {.fourcc = V4L2_PIX_FMT_YUYV,
                         .sizes = {{1920, 1080, {{1, 5}}}, {640, 480, {{1, 30}}}}}}};
}

// A tiny BGRA camera, so frames need no decoding.
constexpr uint32_t kWidth = 4, kHeight = 2;
FakeCamera BgraCamera() {
    return {.node = kNode,
            .card = "Bench Cam",
            .formats = {{.fourcc = V4L2_PIX_FMT_BGR32, .sizes = {{kWidth, kHeight, {{1, 30}}}}}}};
}

// An opaque picture whose colour channels all hold `value`.
std::vector<uint8_t> Picture(uint8_t value, size_t bytes = kWidth * kHeight * 4) {
    std::vector<uint8_t> picture(bytes, value);
    for (size_t i = 3; i < bytes; i += 4)
        picture[i] = 0xFF;
    return picture;
}

// What a reader delivered: each frame's pixels (none for a frame without data) and every end.
// The test reads the fields directly once the reader has stopped.
struct Delivery {
    FrameSink Sink() {
        return [this](const Frame& frame) {
            std::optional<std::vector<uint8_t>> pixels;
            if (frame.data)
                pixels.emplace(frame.data, frame.data + frame.stride * frame.height);
            std::lock_guard lock(mutex);
            frames.push_back(std::move(pixels));
            last = frame;
            changed.notify_all();
        };
    }
    StreamEndedSink Ended() {
        return [this](const std::string& reason) {
            std::lock_guard lock(mutex);
            endings.push_back(reason);
            changed.notify_all();
        };
    }
    bool Wait(size_t frameCount, size_t endingCount = 0) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kWait, [&] {
            return frames.size() >= frameCount && endings.size() >= endingCount;
        });
    }
    // The first byte of each frame, -1 for a frame without data.
    std::vector<int> Values() {
        std::lock_guard lock(mutex);
        std::vector<int> values;
        for (const auto& frame : frames)
            values.push_back(frame ? (*frame)[0] : -1);
        return values;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::optional<std::vector<uint8_t>>> frames;
    Frame last;
    std::vector<std::string> endings;
};

class V4l2CameraTest : public ::testing::Test {
  protected:
    SourceGroup GroupAt(const std::string& node) {
        for (const SourceGroup& group : m_system.FindAllSourceGroups()) {
            if (group.sources.at(0).path == node)
                return group;
        }
        ADD_FAILURE() << "no group for " << node;
        return {};
    }

    std::unique_ptr<FrameReader> OpenReader() {
        m_kernel->AddCamera(BgraCamera());
        m_session = m_system.Open(GroupAt(kNode));
        return m_session->CreateFrameReader(*m_session->FrameSources().at(0));
    }
    std::unique_ptr<FrameReader> StartReading(Delivery& delivery) {
        auto reader = OpenReader();
        EXPECT_EQ(reader->Start(delivery.Sink(), delivery.Ended()), ReaderStartStatus::kSuccess);
        return reader;
    }

    bool Push(uint8_t value, uint32_t flags = 0) {
        return m_kernel->WaitAllQueued(kNode, kWait) &&
               m_kernel->PushFrames(kNode, {Picture(value)}, flags);
    }

    std::shared_ptr<FakeV4l2Kernel> m_kernel = std::make_shared<FakeV4l2Kernel>();
    V4l2CameraSystem m_system{m_kernel};
    std::unique_ptr<CaptureSession> m_session;
};

TEST_F(V4l2CameraTest, GroupsAreStreamingCaptureNodesInNumberOrderNamedByTheirStableLinks) {
    m_kernel->AddCamera(Webcam("/dev/video10"));
    m_kernel->AddCamera(Webcam(kNode, "usb-Acme_HD_Webcam_C1_0123-video-index0"));
    FakeCamera metadata = Webcam("/dev/video1", "usb-Acme_HD_Webcam_C1_0123-video-index1");
    metadata.capabilities = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    m_kernel->AddCamera(metadata);
    FakeCamera readOnly = Webcam("/dev/video3");
    readOnly.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE;
    m_kernel->AddCamera(readOnly);
    FakeCamera grabber = Webcam("/dev/video2");
    grabber.card = "Capture Card";
    m_kernel->AddCamera(grabber);
    m_kernel->AddCamera(Webcam("/dev/video4"));
    m_kernel->FailOpen("/dev/video4", EACCES);

    const std::vector<SourceGroup> groups = m_system.FindAllSourceGroups();

    // A node the user may not open stays, so that opening it says why.
    ASSERT_EQ(groups.size(), 4u);
    EXPECT_EQ(groups[0].sources.at(0).id, "/dev/v4l/by-id/usb-Acme_HD_Webcam_C1_0123-video-index0");
    EXPECT_EQ(groups[0].sources.at(0).path, kNode);
    EXPECT_EQ(groups[0].name, "HD Webcam C1");
    EXPECT_EQ(groups[1].sources.at(0).id, "/dev/video2");
    EXPECT_EQ(groups[1].sources.at(0).name, "Capture Card");
    EXPECT_EQ(groups[2].sources.at(0).id, "/dev/video4");
    EXPECT_EQ(groups[2].name, "(Permission denied)");
    EXPECT_EQ(groups[3].sources.at(0).id, "/dev/video10");
    for (const char* node : {kNode, "/dev/video1", "/dev/video2", "/dev/video10"})
        EXPECT_EQ(m_kernel->OpenDescriptors(node), 0) << node << " left open by the search";
}

TEST_F(V4l2CameraTest, FormatsAreListedInDriverOrderAndOnlyThoseTheDriverKeepsAreSet) {
    m_kernel->AddCamera(Webcam(kNode));
    m_kernel->AddCamera(
        {.node = "/dev/video1",
         .card = "Range Cam",
         .formats = {{.fourcc = V4L2_PIX_FMT_NV12,
                      .sizes = {{320, 240, {{1001, 30000}, {1, 5}}}, {1280, 720, {}}},
                      .stepwise = true}}});
    auto ranged = m_system.Open(GroupAt("/dev/video1"));
    const auto rangeFormats = ranged->FrameSources().at(0)->SupportedFormats();
    ASSERT_EQ(rangeFormats.size(), 1u) << "a range gives its best, once";
    EXPECT_EQ(rangeFormats[0].video,
              (VideoFormat{V4L2_PIX_FMT_NV12, "NV12", 1280, 720, 30000, 1001}));

    auto webcam = m_system.Open(GroupAt(kNode));
    FrameSource& source = *webcam->FrameSources().at(0);
    std::vector<VideoFormat> listed;
    for (const FrameFormat& format : source.SupportedFormats())
        listed.push_back(format.video.value());
    const std::vector<VideoFormat> expected = {{V4L2_PIX_FMT_MJPEG, "MJPG", 1920, 1080, 30, 1},
                                               {V4L2_PIX_FMT_YUYV, "YUY2", 1920, 1080, 5, 1},
                                               {V4L2_PIX_FMT_YUYV, "YUY2", 640, 480, 30, 1}};
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(source.CurrentFormat().video, expected[0]);
    source.SetFormat(expected[2]);
    EXPECT_EQ(source.CurrentFormat().video, expected[2]);

    auto refused = [&](const VideoFormat& format) {
        try {
            source.SetFormat(format);
        } catch (const CameraError& error) {
            return std::string(error.what()).starts_with("the camera refused the format");
        }
        return false;
    };
    EXPECT_TRUE(refused({V4L2_PIX_FMT_YUYV, "YUY2", 1280, 720, 30, 1})) << "size not offered";
    m_kernel->RefuseFormats(kNode);
    EXPECT_TRUE(refused(expected[0])) << "listed, not set";
    EXPECT_EQ(source.CurrentFormat().video->fourcc, V4L2_PIX_FMT_YUYV);
}

TEST_F(V4l2CameraTest, ASecondReaderOfABusyCameraGetsItsOwnStatusAndTheFirstGoesOn) {
    Delivery first, second;
    auto reader = StartReading(first);
    auto other = m_system.Open(GroupAt(kNode));
    auto otherReader = other->CreateFrameReader(*other->FrameSources().at(0));
    EXPECT_EQ(otherReader->Start(second.Sink(), second.Ended()),
              ReaderStartStatus::kExclusiveControlNotAvailable);
    ASSERT_TRUE(Push(7));
    EXPECT_TRUE(first.Wait(1));
    reader->Stop();
    m_session->Close();
    other->Close();
    EXPECT_EQ(m_kernel->OpenDescriptors(kNode), 0);
}

// Realtime takes the newest ready frame, buffered each; a stop releases every buffer, and the
// same reader starts again in the other mode.
TEST_F(V4l2CameraTest, FramesArriveNewestOrEachAndStopReleasesEveryBuffer) {
    Delivery runs[2];  // outlive the reader, which a failed check leaves running
    auto reader = OpenReader();
    for (bool buffered : {false, true}) {
        SCOPED_TRACE(buffered ? "buffered" : "realtime");
        Delivery& delivery = runs[buffered];
        reader->SetBuffered(buffered);
        ASSERT_EQ(reader->Start(delivery.Sink(), delivery.Ended()), ReaderStartStatus::kSuccess);
        EXPECT_EQ(m_kernel->MappedBuffers(kNode), 4);
        ASSERT_TRUE(m_kernel->PushFrames(kNode, {Picture(1), Picture(2), Picture(0x40)}));
        ASSERT_TRUE(delivery.Wait(1));
        ASSERT_TRUE(m_kernel->WaitAllQueued(kNode, kWait)) << "a buffer was kept";
        ASSERT_TRUE(m_kernel->PushFrames(kNode, {Picture(0x41, kWidth * 4)}));
        ASSERT_TRUE(delivery.Wait(buffered ? 4 : 2));

        reader->Stop();
        EXPECT_FALSE(m_kernel->Streaming(kNode));
        EXPECT_EQ(m_kernel->MappedBuffers(kNode), 0);
        EXPECT_EQ(m_kernel->AllocatedBuffers(kNode), 0);
        // A short buffer is a frame without data, still of the camera's size.
        EXPECT_EQ(delivery.Values(),
                  (buffered ? std::vector<int>{1, 2, 0x40, -1} : std::vector<int>{0x40, -1}));
        EXPECT_EQ(delivery.frames.end()[-2], Picture(0x40));
        EXPECT_EQ(delivery.last.width, kWidth);
        EXPECT_EQ(delivery.last.height, kHeight);
        EXPECT_TRUE(delivery.endings.empty());
    }
}

TEST_F(V4l2CameraTest, DamagedFramesAreSkippedWithOneLineAndTheStreamGoesOn) {
    LogCapture log;
    Delivery delivery;
    auto reader = StartReading(delivery);

    // More failures than buffers: a buffer lost to each would starve the stream.
    m_kernel->FailDequeues(kNode, 6);
    for (uint8_t value = 1; value <= 6; ++value)
        ASSERT_TRUE(Push(value)) << "buffer lost after failure " << int(value - 1);
    ASSERT_TRUE(Push(7, V4L2_BUF_FLAG_ERROR));
    ASSERT_TRUE(Push(8));
    ASSERT_TRUE(delivery.Wait(1));
    ASSERT_TRUE(m_kernel->WaitAllQueued(kNode, kWait));
    EXPECT_EQ(delivery.Values(), std::vector<int>{8});
    EXPECT_EQ(log.Count("skipped a frame the driver marked damaged"), 1);
    reader->Stop();
}

TEST_F(V4l2CameraTest, UnplugEndsTheStreamOnceAndStopStillReleases) {
    LogCapture log;
    Delivery delivery;
    auto reader = StartReading(delivery);
    ASSERT_TRUE(Push(1));
    ASSERT_TRUE(delivery.Wait(1));

    m_kernel->Unplug(kNode);
    ASSERT_TRUE(delivery.Wait(1, 1));
    const int64_t stopStart = platform::SteadyClockNs();
    EXPECT_NO_THROW(reader->Stop());
    EXPECT_LT(platform::SteadyClockNs() - stopStart, 2'000'000'000);
    m_session->Close();

    EXPECT_EQ(delivery.endings, std::vector<std::string>{"the camera was disconnected"});
    EXPECT_EQ(log.Count("/dev/video0 was disconnected"), 1);
    EXPECT_EQ(m_kernel->MappedBuffers(kNode), 0);
    EXPECT_EQ(m_kernel->OpenDescriptors(kNode), 0);
    EXPECT_TRUE(m_system.FindAllSourceGroups().empty());
}

TEST_F(V4l2CameraTest, StopWaitsForAStuckDriverAndNoFrameFollowsIt) {
    Delivery delivery;
    auto reader = StartReading(delivery);

    m_kernel->HoldDequeue(kNode);
    ASSERT_TRUE(Push(1));
    ASSERT_TRUE(m_kernel->WaitForHeldDequeue(kNode, kWait));
    auto stopped = std::async(std::launch::async, [&] { reader->Stop(); });
    EXPECT_EQ(stopped.wait_for(200ms), std::future_status::timeout);
    m_kernel->ReleaseDequeue(kNode);
    ASSERT_EQ(stopped.wait_for(kWait), std::future_status::ready);
    EXPECT_TRUE(delivery.Values().empty()) << "the frame dequeued during Stop was delivered";
}

TEST(V4l2MachineTest, SearchOnThisMachineFindsOnlyVideoNodesAndNeverFails) {
    V4l2CameraSystem system(std::make_shared<LinuxV4l2Syscalls>());
    std::vector<SourceGroup> groups;
    ASSERT_NO_THROW(groups = system.FindAllSourceGroups());
    for (const SourceGroup& group : groups)
        EXPECT_TRUE(group.sources.at(0).path.starts_with("/dev/video"));
    EXPECT_NE(DefaultCameraSystem(kNode), nullptr);
}

}  // namespace
}  // namespace tamro::test
