#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <tuple>

#include "platform/media/BoundedQueue.h"
#include "platform/media/FfmpegEncoderList.h"
#include "platform/media/IndexAtFront.h"
#include "platform/media/SinkWriter.h"
#include "support/Mp4Probe.h"
#include "support/TempDir.h"

namespace tamro::platform::media {
namespace {

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
constexpr uint32_t kFps = 30;
constexpr int64_t kFrameTicks = 10'000'000 / kFps;

MediaType VideoOutput(uint32_t width = kWidth, uint32_t height = kHeight) {
    return MediaType{.major = MajorType::kVideo,
                     .subtype = kSubtypeH264,
                     .width = width,
                     .height = height,
                     .frameRateNumerator = kFps,
                     .frameRateDenominator = 1,
                     .averageBitrate = 1'000'000,
                     .interlaceMode = kInterlaceProgressive,
                     .pixelAspectNumerator = 1,
                     .pixelAspectDenominator = 1,
                     .yuvMatrix = kYuvMatrixBT709,
                     .videoPrimaries = kPrimariesBT709,
                     .transferFunction = kTransferBT709,
                     .profile = kProfileHigh};
}

MediaType VideoInput(const Guid& subtype) {
    MediaType input = VideoOutput();
    input.subtype = subtype;
    input.profile = 0;
    return input;
}

MediaSample Filled(size_t bytes, uint8_t value = 0) {
    MediaSample sample = MediaSample::WithCapacity(bytes);
    std::memset(sample.data.get(), value, bytes);
    sample.length = bytes;
    return sample;
}

struct Writer {
    std::unique_ptr<SinkWriter> writer;
    uint32_t video = 0;
};

// Audio goes through the writer in the encoder's tests.
Writer Open(const std::filesystem::path& file, const Guid& subtype) {
    Writer w;
    EXPECT_EQ(SinkWriter::CreateFromPath(
                  file.string(), {.disableThrottling = true, .deviceManager = nullptr}, &w.writer),
              kOk);
    EXPECT_EQ(w.writer->AddStream(VideoOutput(), &w.video), kOk);
    EXPECT_EQ(w.writer->SetInputMediaType(w.video, VideoInput(subtype)), kOk);
    return w;
}

// Every input format the encoder discovery can name reaches the codec, and a frame that repeats
// the previous picture, sent without data, is a frame of the file like any other.
TEST(SinkWriterTest, EncodesEveryFrameOfEveryInputFormat) {
    const std::tuple<const char*, Guid, uint32_t> formats[] = {
        {"NV12", kSubtypeNV12, 12}, {"IYUV", kSubtypeIYUV, 12},   {"YV12", kSubtypeYV12, 12},
        {"YUY2", kSubtypeYUY2, 16}, {"RGB32", kSubtypeRGB32, 32}, {"ARGB32", kSubtypeARGB32, 32}};
    for (const auto& [name, subtype, bitsPerPixel] : formats) {
        SCOPED_TRACE(name);
        const size_t frameBytes = kWidth * kHeight * bitsPerPixel / 8;
        test::TempDir dir;
        const auto file = dir.path() / "in.mp4";
        Writer w = Open(file, subtype);
        ASSERT_EQ(w.writer->BeginWriting(), kOk);
        for (int i = 0; i < 6; ++i) {
            const bool repeat = i % 3 != 0;
            MediaSample sample = repeat ? MediaSample{} : Filled(frameBytes, 40 * i);
            sample.repeatsPrevious = repeat;
            sample.time = i * kFrameTicks;
            sample.duration = kFrameTicks;
            ASSERT_EQ(w.writer->WriteSample(w.video, std::move(sample)), kOk);
        }
        ASSERT_EQ(w.writer->Finalize(), kOk);
        EXPECT_EQ(w.writer->WriteSample(w.video, Filled(frameBytes)), kNotInitialized);
        const test::Mp4Probe probe(file);
        ASSERT_TRUE(probe.Opened());
        EXPECT_EQ(probe.Stream("video", "codec_name"), "h264");
        EXPECT_EQ(probe.VideoFramePts().size(), 6u);
        EXPECT_EQ(probe.StreamCount("audio"), 0);
        const auto boxes = test::Mp4Probe::TopLevelBoxes(file);
        ASSERT_GE(boxes.size(), 2u);
        EXPECT_EQ(boxes[1], "moov") << "the index is ahead of the media data";
    }
}

// A file that cannot be rewritten (here not an MP4 at all) stays as it was, and no part of the
// attempt is left beside it.
TEST(IndexAtFrontTest, AFileThatCannotBeRewrittenIsLeftAsItWas) {
    test::TempDir dir;
    const auto file = dir.path() / "broken.mp4";
    std::ofstream(file, std::ios::binary) << std::string(4096, 'x');
    EXPECT_TRUE(Failed(IndexAtFront::Apply(file.string(), 10)));
    EXPECT_EQ(std::filesystem::file_size(file), 4096u);
    EXPECT_FALSE(std::filesystem::exists(file.string() + ".part"));
}

TEST(SinkWriterTest, RefusesWhatItCannotWriteAndLeavesNoFile) {
    test::TempDir dir;
    std::unique_ptr<SinkWriter> writer;
    EXPECT_EQ(SinkWriter::CreateFromPath((dir.path() / "out.mov").string(), {}, &writer),
              kUnsupportedByteStreamType);
    EXPECT_EQ(SinkWriter::CreateFromPath((dir.path() / "none" / "out.mp4").string(), {}, &writer),
              kPathNotFound);
    EXPECT_EQ(writer, nullptr);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    ASSERT_EQ(SinkWriter::CreateFromPath((dir.path() / "a.mp4").string(), {}, &writer), kOk);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "a.mp4"));
    MediaType odd = VideoOutput();
    odd.width = 321;
    uint32_t index = 0;
    EXPECT_EQ(writer->AddStream(odd, &index), kInvalidMediaType);
    ASSERT_EQ(writer->AddStream(VideoOutput(), &index), kOk);
    MediaType wrongSize = VideoInput(kSubtypeNV12);
    wrongSize.height = 480;
    EXPECT_EQ(writer->SetInputMediaType(index, wrongSize), kInvalidMediaType);
    EXPECT_EQ(writer->SetInputMediaType(index, VideoInput(kSubtypeH264)), kInvalidMediaType);
    // No input type yet.
    EXPECT_EQ(writer->BeginWriting(), kInvalidRequest);
    EXPECT_EQ(writer->WriteSample(index, Filled(16)), kNotInitialized);
    EXPECT_EQ(writer->Finalize(), kInvalidRequest);
    // A writer that never began writing takes its file with it.
    writer.reset();
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    // So does one abandoned after it began.
    Writer begun = Open(dir.path() / "b.mp4", kSubtypeNV12);
    ASSERT_EQ(begun.writer->BeginWriting(), kOk);
    begun.writer->Abandon();
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_EQ(begun.writer->Finalize(), kInvalidRequest);
}

TEST(BoundedQueueTest, EitherSideFinishesTheQueue) {
    BoundedQueue<int> queue(2);
    EXPECT_EQ(queue.Push(1, false), BoundedQueue<int>::PushResult::kPushed);
    EXPECT_EQ(queue.Push(2, false), BoundedQueue<int>::PushResult::kPushed);
    EXPECT_EQ(queue.Push(3, false), BoundedQueue<int>::PushResult::kFull);

    // A producer waiting on a full queue is released by the consumer's abort.
    auto blocked = std::async(std::launch::async, [&] { return queue.Push(4, true); });
    EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    queue.Abort();
    EXPECT_EQ(blocked.get(), BoundedQueue<int>::PushResult::kFinished);
    int item = 0;
    EXPECT_FALSE(queue.Pop(&item));

    // Closing delivers what was queued, then ends the consumer.
    BoundedQueue<int> closing(4);
    closing.Push(7, false);
    auto consumer = std::async(std::launch::async, [&] {
        std::vector<int> seen;
        for (int value = 0; closing.Pop(&value);)
            seen.push_back(value);
        return seen;
    });
    closing.Push(8, false);
    closing.Close();
    EXPECT_EQ(consumer.get(), (std::vector<int>{7, 8}));
    EXPECT_EQ(closing.Push(9, false), BoundedQueue<int>::PushResult::kFinished);
}

TEST(FfmpegEncoderListTest, SoftwareEncoderOpensAndOffersItsPixelFormats) {
    FfmpegEncoderList list;
    std::vector<std::unique_ptr<EncoderActivation>> found;
    ASSERT_EQ(list.Enumerate(kEnumSync | kEnumAsync | kEnumHardware | kEnumSortAndFilter, &found),
              kOk);
    ASSERT_FALSE(found.empty());
    // Hardware ones, when the machine has any, come first.
    EncoderActivation& software = *found.back();
    EXPECT_EQ(software.FriendlyName(), "libx264");
    EXPECT_FALSE(software.IsHardware());
    EXPECT_EQ(software.AcceptsGpuDevice(), 0u);

    std::unique_ptr<EncoderTransform> transform;
    ASSERT_EQ(software.Activate(&transform), kOk);
    Guid subtype;
    EXPECT_EQ(transform->GetInputAvailableType(0, &subtype), kNotInitialized);
    EXPECT_EQ(transform->SetOutputType(VideoOutput(0, 1080)), kInvalidMediaType);
    ASSERT_EQ(transform->SetOutputType(VideoOutput(1376, 768)), kOk);
    std::vector<Guid> offered;
    for (uint32_t i = 0; Succeeded(transform->GetInputAvailableType(i, &subtype)); ++i)
        offered.push_back(subtype);
    EXPECT_EQ(offered, (std::vector<Guid>{kSubtypeIYUV, kSubtypeNV12}));
}

TEST(FfmpegEncoderListTest, HardwareOnlyListsEncodersThatTakeADevice) {
    FfmpegEncoderList list;
    std::vector<std::unique_ptr<EncoderActivation>> found;
    ASSERT_EQ(list.Enumerate(kEnumHardware | kEnumSortAndFilter, &found), kOk);
    if (found.empty())
        GTEST_SKIP() << "no hardware encoder on this machine";
    for (const auto& encoder : found) {
        EXPECT_TRUE(encoder->IsHardware());
        EXPECT_NE(encoder->AcceptsGpuDevice(), 0u);
    }
}

}  // namespace
}  // namespace tamro::platform::media
