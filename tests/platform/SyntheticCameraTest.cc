#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libyuv/scale_argb.h>

#include <optional>
#include <ranges>
#include <vector>

#include "platform/camera/SyntheticCamera.h"
#include "platform/camera/SyntheticFrameCode.h"
#include "platform/camera/SyntheticPicture.h"
#include "platform/system/ManualClock.h"

namespace tamro::test {
namespace {

using namespace platform::camera;

constexpr int64_t kSecond = 1'000'000'000;

TEST(SyntheticCameraTest, IdsNameTheirModesAndABadIdIsAMissingCamera) {
    const std::pair<const char*, SyntheticCameraMode> named[] = {
        {"test:", {1280, 720, 30}},         {"test:480p30", {640, 480, 30}},
        {"test:1080p60", {1920, 1080, 60}}, {"test:800x600@15", {800, 600, 15}},
        {"test:16x16@1", {16, 16, 1}},      {"test:8192x8192@240", {8192, 8192, 240}},
    };
    for (const auto& [id, mode] : named)
        EXPECT_EQ(ParseSyntheticCameraId(id), mode) << id;
    for (const char* id :
         {"test", "camera:720p30", "test:720p", "test:721p30", "test:720p30 ", "test:1280x720",
          "test:1280x720@0", "test:1280x720@241", "test:1281x720@30", "test:8x8@30",
          "test:8194x720@30", "test:1280x720@30x", "test:-2x2@3"})
        EXPECT_EQ(ParseSyntheticCameraId(id), std::nullopt) << id;

    const auto system = MakeSyntheticCameraSystem("test:720q30");
    EXPECT_THAT([&] { system->FindAllSourceGroups(); },
                testing::ThrowsMessage<CameraError>(testing::StrEq("no such camera")));
    EXPECT_THROW(system->Open({"", {{"test:720q30", "test:720q30", "", true}}}), CameraError);
}

VideoFormat FormatOf(const char* fourcc, uint32_t width, uint32_t height, uint32_t rate) {
    const uint32_t code = Fourcc(fourcc[0], fourcc[1], fourcc[2], fourcc[3]);
    return VideoFormat{code, SubtypeOf(code), width, height, rate, 1};
}

std::vector<uint32_t> Count(uint32_t from, uint32_t to) {
    const auto numbers = std::views::iota(from, to + 1);
    return {numbers.begin(), numbers.end()};
}

// A webcam's formats under the id asked, and frames of the one set on its rate's schedule. After a
// stall (the clock jumping), a realtime reader skips to the newest; a buffered one catches up.
TEST(SyntheticCameraTest, DeliversTheFormatSetOnScheduleAndAfterAStallTheNewestUnlessBuffered) {
    const auto clock = std::make_shared<platform::ManualClock>(0);
    const auto system = MakeSyntheticCameraSystem("test:320x240@24", clock);
    const auto groups = system->FindAllSourceGroups();
    ASSERT_EQ(groups.at(0).sources.at(0).id, "test:320x240@24");
    const auto session = system->Open(groups[0]);
    FrameSource& source = *session->FrameSources().at(0);
    const VideoFormat yuy2 = FormatOf("YUYV", 320, 240, 24);
    const VideoFormat vga = FormatOf("YUYV", 640, 480, 30);
    std::vector<VideoFormat> offered;
    for (const FrameFormat& format : source.SupportedFormats())
        offered.push_back(format.video.value());
    EXPECT_EQ(offered, (std::vector{yuy2, vga, FormatOf("MJPG", 320, 240, 24)}));
    EXPECT_EQ(source.CurrentFormat().video, yuy2);
    EXPECT_THROW(source.SetFormat(FormatOf("MJPG", 320, 240, 30)), CameraError);
    source.SetFormat(vga);

    for (const bool buffered : {false, true}) {
        SCOPED_TRACE(buffered ? "buffered" : "realtime");
        const auto reader = session->CreateFrameReader(source);
        reader->SetBuffered(buffered);
        // Looked at only while the reader waits on the clock, which orders the sink's writes.
        std::vector<uint32_t> numbers;  // read back from the pictures
        uint32_t width = 0;
        const auto sink = [&](const Frame& frame) {
            numbers.push_back(SyntheticFrameCode::Read(frame).value_or(~0u));
            width = frame.width;
        };
        const int64_t start = clock->NowNs();
        ASSERT_EQ(reader->Start(sink, nullptr), ReaderStartStatus::kSuccess);
        ASSERT_TRUE(clock->AwaitTimedWaiters(1));
        // Frame k is due at k / 30 s exactly; the clock stops just short of frame 30.
        ASSERT_TRUE(clock->AdvanceTo(start + kSecond - 1));
        EXPECT_EQ(numbers, Count(0, 29));
        ASSERT_TRUE(clock->AdvanceTo(start + kSecond));
        EXPECT_EQ(numbers, Count(0, 30));
        EXPECT_EQ(width, 640u);
        numbers.clear();

        clock->JumpTo(start + 2 * kSecond);
        ASSERT_TRUE(clock->AwaitTimedWaiters(1));  // for frame 61, done with those due
        const auto expected = buffered ? Count(31, 60) : std::vector<uint32_t>{60};
        EXPECT_EQ(numbers, expected);
        reader->Stop();
        ASSERT_TRUE(clock->Advance(kSecond));
        EXPECT_EQ(numbers, expected);
    }
}

TEST(SyntheticPictureTest, TheFrameCodeReadsBackAtFullSizeAndScaled) {
    SyntheticPicture picture(1280, 720);
    for (const uint32_t number : {0u, 1u, 0x8001u, 12345u, 65535u}) {
        const Frame frame = picture.Draw(number, 0);
        EXPECT_EQ(SyntheticFrameCode::Read(frame), number);
        // As an output a third the size would show it, box-filtered.
        std::vector<uint8_t> small(427 * 240 * 4);
        libyuv::ARGBScale(frame.data, static_cast<int>(frame.stride), 1280, 720, small.data(),
                          427 * 4, 427, 240, libyuv::kFilterBox);
        EXPECT_EQ(SyntheticFrameCode::Read(Frame{small.data(), 427 * 4, 427, 240}), number);
    }
}

// Mean red minus mean blue inside `box`: skin is far redder than the bluish wall.
double Redness(const Frame& frame, const SyntheticPicture::Box& box) {
    double sum = 0;
    for (int32_t y = box.top; y < box.bottom; ++y) {
        const uint8_t* row = frame.data + size_t(y) * frame.stride;
        for (int32_t x = box.left; x < box.right; ++x)
            sum += row[x * 4 + 2] - row[x * 4];
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
