#include <gtest/gtest.h>
#include <libyuv/scale_argb.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/camera/SyntheticCamera.h"
#include "platform/camera/SyntheticFrameCode.h"
#include "platform/camera/SyntheticPicture.h"
#include "platform/system/ManualClock.h"

namespace tamro::test {
namespace {

using namespace std::chrono_literals;
using platform::ManualClock;
using namespace platform::camera;

constexpr int64_t kSecond = 1'000'000'000;

TEST(SyntheticCameraTest, IdsNameTheirModes) {
    const std::vector<std::pair<const char*, SyntheticCameraMode>> named = {
        {"test:", {1280, 720, 30}},         {"test:720p30", {1280, 720, 30}},
        {"test:1080p30", {1920, 1080, 30}}, {"test:480p30", {640, 480, 30}},
        {"test:720p60", {1280, 720, 60}},   {"test:800x600@15", {800, 600, 15}},
        {"test:16x16@1", {16, 16, 1}},      {"test:8192x8192@240", {8192, 8192, 240}},
    };
    for (const auto& [id, mode] : named)
        EXPECT_EQ(ParseSyntheticCameraId(id), mode) << id;
    for (const char* id :
         {"test", "camera:720p30", "test:720p", "test:721p30", "test:720p30 ", "test:1280x720",
          "test:1280x720@0", "test:1280x720@241", "test:1281x720@30", "test:8x8@30",
          "test:8194x720@30", "test:1280x720@30x", "test:-2x2@3"})
        EXPECT_EQ(ParseSyntheticCameraId(id), std::nullopt) << id;
}

std::vector<VideoFormat> VideoFormats(const std::vector<FrameFormat>& formats) {
    std::vector<VideoFormat> videos;
    for (const FrameFormat& format : formats)
        videos.push_back(format.video.value());
    return videos;
}

VideoFormat FormatOf(const char* fourcc, uint32_t width, uint32_t height, uint32_t rate) {
    const uint32_t code = Fourcc(fourcc[0], fourcc[1], fourcc[2], fourcc[3]);
    return VideoFormat{code, SubtypeOf(code), width, height, rate, 1};
}

TEST(SyntheticCameraTest, OffersAWebcamsFormatsUnderTheIdAsked) {
    const auto system = MakeSyntheticCameraSystem("test:1024x576@24");
    const auto groups = system->FindAllSourceGroups();
    ASSERT_EQ(groups.size(), 1u);
    ASSERT_EQ(groups[0].sources.size(), 1u);
    EXPECT_EQ(groups[0].sources[0].id, "test:1024x576@24");
    EXPECT_TRUE(groups[0].sources[0].isColor);

    const auto session = system->Open(groups[0]);
    ASSERT_EQ(session->FrameSources().size(), 1u);
    auto& source = *session->FrameSources()[0];
    const VideoFormat yuy2 = FormatOf("YUYV", 1024, 576, 24);
    const VideoFormat vga = FormatOf("YUYV", 640, 480, 30);
    const VideoFormat mjpg = FormatOf("MJPG", 1024, 576, 24);
    EXPECT_EQ(VideoFormats(source.SupportedFormats()), (std::vector{yuy2, vga, mjpg}));
    EXPECT_EQ(source.CurrentFormat().video, yuy2);

    source.SetFormat(mjpg);
    EXPECT_EQ(source.CurrentFormat().video, mjpg);
    EXPECT_THROW(source.SetFormat(FormatOf("MJPG", 1024, 576, 30)), CameraError);
    EXPECT_EQ(source.CurrentFormat().video, mjpg);
}

TEST(SyntheticCameraTest, AnIdNamingNoCameraFailsAsAMissingDeviceDoes) {
    const auto system = MakeSyntheticCameraSystem("test:720q30");
    try {
        system->FindAllSourceGroups();
        ADD_FAILURE() << "found a camera";
    } catch (const CameraError& error) {
        EXPECT_STREQ(error.what(), "no such camera");
    }
    EXPECT_THROW(system->Open({"", {{"test:720q30", "test:720q30", "", true}}}), CameraError);
}

// What a reader delivered: the frame numbers read back from the pictures, and the last size.
class Delivered {
  public:
    FrameSink Sink() {
        return [this](const Frame& frame) {
            std::lock_guard lock(m_mutex);
            m_numbers.push_back(SyntheticFrameCode::Read(frame).value_or(kUnreadable));
            m_size = {frame.width, frame.height};
            m_changed.notify_all();
        };
    }
    // Waits, within a generous limit of real time, until frame `number` has arrived.
    bool AwaitFrame(uint32_t number) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 20s, [&] {
            return !m_numbers.empty() && m_numbers.back() >= number &&
                   m_numbers.back() != kUnreadable;
        });
    }
    std::vector<uint32_t> Numbers() {
        std::lock_guard lock(m_mutex);
        return m_numbers;
    }
    std::pair<uint32_t, uint32_t> Size() {
        std::lock_guard lock(m_mutex);
        return m_size;
    }

  private:
    static constexpr uint32_t kUnreadable = ~0u;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<uint32_t> m_numbers;
    std::pair<uint32_t, uint32_t> m_size;
};

std::vector<uint32_t> Count(uint32_t from, uint32_t to) {
    std::vector<uint32_t> numbers;
    for (uint32_t n = from; n <= to; ++n)
        numbers.push_back(n);
    return numbers;
}

struct Camera {
    explicit Camera(const char* id, std::shared_ptr<platform::Clock> clock) {
        const auto system = MakeSyntheticCameraSystem(id, std::move(clock));
        session = system->Open(system->FindAllSourceGroups().at(0));
    }
    std::unique_ptr<FrameReader> Reader() {
        return session->CreateFrameReader(*session->FrameSources()[0]);
    }
    std::unique_ptr<CaptureSession> session;
};

TEST(SyntheticCameraTest, DeliversNumberedFramesOnTheRatesSchedule) {
    const auto clock = std::make_shared<ManualClock>(0);
    Camera camera("test:320x240@30", clock);
    camera.session->FrameSources()[0]->SetFormat(FormatOf("YUYV", 640, 480, 30));
    const auto reader = camera.Reader();
    Delivered delivered;
    ASSERT_EQ(reader->Start(delivered.Sink(), nullptr), ReaderStartStatus::kSuccess);
    ASSERT_TRUE(clock->AwaitTimedWaiters(1));

    // Frame k is due at k / 30 s exactly; the clock stops just short of frame 30.
    ASSERT_TRUE(clock->AdvanceTo(kSecond - 1));
    EXPECT_EQ(delivered.Numbers(), Count(0, 29));
    ASSERT_TRUE(clock->AdvanceTo(kSecond));
    EXPECT_EQ(delivered.Numbers(), Count(0, 30));
    EXPECT_EQ(delivered.Size(), std::make_pair(640u, 480u));

    reader->Stop();
    ASSERT_TRUE(clock->Advance(kSecond));
    EXPECT_EQ(delivered.Numbers().size(), 31u);
}

// After a stall (here the clock jumping a second at once), a realtime reader delivers only the
// newest frame due; a buffered one delivers every frame it owes.
TEST(SyntheticCameraTest, ARealtimeReaderSkipsToTheNewestFrameABufferedOneCatchesUp) {
    for (const bool buffered : {false, true}) {
        SCOPED_TRACE(buffered ? "buffered" : "realtime");
        const auto clock = std::make_shared<ManualClock>(0);
        Camera camera("test:192x108@30", clock);
        const auto reader = camera.Reader();
        reader->SetBuffered(buffered);
        Delivered delivered;
        ASSERT_EQ(reader->Start(delivered.Sink(), nullptr), ReaderStartStatus::kSuccess);
        ASSERT_TRUE(clock->AwaitTimedWaiters(1));
        clock->JumpTo(kSecond);
        ASSERT_TRUE(delivered.AwaitFrame(30));
        ASSERT_TRUE(clock->AwaitTimedWaiters(1));
        reader->Stop();
        EXPECT_EQ(delivered.Numbers(), buffered ? Count(0, 30) : (std::vector<uint32_t>{0, 30}));
    }
}

TEST(SyntheticPictureTest, TheFrameCodeReadsBackAfterScaling) {
    SyntheticPicture picture(1280, 720);
    for (const uint32_t number : {0u, 1u, 0x8001u, 12345u, 65535u}) {
        const Frame frame = picture.Draw(number, 0);
        EXPECT_EQ(SyntheticFrameCode::Read(frame), number);
        // As an output a third the size would show it, box-filtered.
        const uint32_t width = 427;
        const uint32_t height = 240;
        std::vector<uint8_t> small(size_t{width} * height * 4);
        libyuv::ARGBScale(frame.data, static_cast<int>(frame.stride), 1280, 720, small.data(),
                          width * 4, width, height, libyuv::kFilterBox);
        EXPECT_EQ(SyntheticFrameCode::Read(Frame{small.data(), width * 4, width, height}), number);
    }
}

// Mean red minus mean blue inside `box`: skin is far redder than the bluish wall.
double Redness(const Frame& frame, const SyntheticPicture::Box& box) {
    double sum = 0;
    for (int32_t y = box.top; y < box.bottom; ++y) {
        for (int32_t x = box.left; x < box.right; ++x) {
            const uint8_t* pixel = frame.data + size_t(y) * frame.stride + size_t(x) * 4;
            sum += pixel[2] - pixel[0];
        }
    }
    return sum / ((box.right - box.left) * (box.bottom - box.top));
}

// The face is where the picture says it is, and the person moves: half a sway later the same
// place shows the wall.
TEST(SyntheticPictureTest, TheFaceIsWhereThePictureSaysAndMoves) {
    for (const auto& [width, height] : {std::pair{1280u, 720u}, std::pair{640u, 480u}}) {
        SyntheticPicture picture(width, height);
        const int64_t right = SyntheticPicture::kSwayPeriodNs / 4;
        const int64_t left = 3 * right;
        const SyntheticPicture::Box face = picture.Face(right);
        ASSERT_GT(face.right - face.left, 10);
        ASSERT_GT(face.left, picture.Face(left).right);
        EXPECT_GT(Redness(picture.Draw(0, right), face), 60) << width;
        EXPECT_LT(Redness(picture.Draw(1, left), face), 0) << width;
    }
}

}  // namespace
}  // namespace tamro::test
