#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "encode/Encoder.h"
#include "encode/EncoderFormatCache.h"
#include "platform/media/ScriptedEncoderList.h"
#include "support/AppDataFolder.h"
#include "support/FrameTextures.h"
#include "support/LogCapture.h"
#include "support/Mp4Probe.h"
#include "support/TempDir.h"

namespace tamro {
namespace {

namespace media = platform::media;
using test::Bgra;

constexpr int64_t kTicks30 = 333'333;

EncoderSettings Settings(const std::filesystem::path& path, uint32_t width, uint32_t height) {
    return EncoderSettings{.path = path.string(),
                           .width = width,
                           .height = height,
                           .fps = 30,
                           .videoBitrate = 1'000'000,
                           .hasAudio = false};
}

class EncoderTest : public ::testing::Test {
  protected:
    // Grey frames, changing each time unless `still` (a still picture has no scene cuts that
    // would move key frames).
    void WriteFrames(Encoder& encoder, uint32_t width, uint32_t height, int count,
                     int64_t frameTicks = kTicks30, bool still = false) {
        for (int i = 0; i < count; ++i) {
            const auto level = static_cast<uint8_t>(still ? 100 : i * 7);
            auto frame = test::SolidFrame(*m_device, width, height, {level, level, level, 255});
            ASSERT_TRUE(encoder.WriteVideoFrame(frame.get(), i * frameTicks)) << i;
        }
    }

    test::AppDataFolder m_appData;
    test::TempDir m_dir;
    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
};

TEST_F(EncoderTest, WritesAPlayableMp4WithVideoAndAudio) {
    const auto file = m_dir.path() / "rec.mp4";
    EncoderSettings settings = Settings(file, 320, 240);
    settings.hasAudio = true;
    settings.profile = 1;
    Encoder encoder;
    encoder.SetD3DDevice(m_device.get());
    ASSERT_TRUE(encoder.Initialize(settings));
    EXPECT_TRUE(encoder.HasGpuColorConverter());
    WriteFrames(encoder, 320, 240, 30);
    const std::vector<uint8_t> block(4096, 0x10);
    for (int i = 0; i < 45; ++i)
        encoder.WriteAudioSample(block.data(), 4096, i * 213'333, 213'333);
    encoder.Finalize();
    EXPECT_EQ(encoder.VideoFramesWritten(), 30u);
    EXPECT_EQ(encoder.AudioSamplesWritten(), 45u);

    const test::Mp4Probe probe(file);
    ASSERT_TRUE(probe.Opened());
    EXPECT_EQ(probe.Stream("video", "codec_name"), "h264");
    EXPECT_EQ(probe.Stream("video", "profile"), "Main");
    EXPECT_EQ(probe.Stream("video", "width"), "320");
    EXPECT_EQ(probe.Stream("video", "height"), "240");
    EXPECT_EQ(probe.Stream("video", "r_frame_rate"), "30/1");
    EXPECT_EQ(probe.Stream("video", "color_space"), "bt709");
    EXPECT_EQ(probe.Stream("video", "color_primaries"), "bt709");
    EXPECT_EQ(probe.Stream("video", "color_transfer"), "bt709");
    EXPECT_EQ(probe.Stream("audio", "codec_name"), "aac");
    EXPECT_EQ(probe.Stream("audio", "channels"), "2");
    EXPECT_EQ(probe.Stream("audio", "sample_rate"), "48000");
    const std::vector<long long> pts = probe.VideoFramePts();
    EXPECT_EQ(pts.size(), 30u);
    EXPECT_EQ(std::ranges::adjacent_find(pts, std::greater_equal<>()), pts.end()) << "pts rise";
    // Discovery ran in this process, so the tag names the encoder it found.
    EXPECT_EQ(probe.FormatTag("encoder"), "Tamro (0.0.3) - libx264");
}

struct SizeCase {
    const char* name;
    uint32_t width, height;
    uint32_t fileWidth, fileHeight;
    bool device;  // else the frames take the CPU path
};

class EncoderSizeTest : public EncoderTest, public ::testing::WithParamInterface<SizeCase> {};

// The file has the requested size, an odd one rounded down to even for 4:2:0; the encoder pads
// to whole macroblocks itself and signals the crop, so no bars are coded into the picture. Without
// audio the file has video only, whatever audio arrives.
TEST_P(EncoderSizeTest, FileHasTheRequestedEvenSize) {
    const SizeCase& c = GetParam();
    const auto file = m_dir.path() / "size.mp4";
    EncoderSettings settings = Settings(file, c.width, c.height);
    settings.profile = 0;
    test::LogCapture log;
    Encoder encoder;
    if (c.device)
        encoder.SetD3DDevice(m_device.get());
    ASSERT_TRUE(encoder.Initialize(settings));
    EXPECT_EQ(log.Contains("[Encoder] No D3D device at sink-writer creation"), !c.device);
    if (!c.device) {
        EXPECT_FALSE(encoder.UsesDeviceManager());
    }
    EXPECT_EQ(encoder.Width(), c.fileWidth);
    EXPECT_EQ(encoder.Height(), c.fileHeight);
    auto white = test::SolidFrame(*m_device, c.width, c.height, {255, 255, 255, 255});
    ASSERT_TRUE(encoder.WriteVideoFrame(white.get(), 0));
    const std::vector<uint8_t> block(4096, 0);
    encoder.WriteAudioSample(block.data(), 4096, 0, 213'333);
    encoder.Finalize();
    EXPECT_EQ(encoder.AudioSamplesWritten(), 0u);
    const test::Mp4Probe probe(file);
    EXPECT_EQ(probe.Stream("video", "profile"), "High");
    EXPECT_EQ(probe.StreamCount("audio"), 0);
    EXPECT_EQ(probe.VideoFramePts().size(), 1u);
    EXPECT_EQ(probe.Stream("video", "width"), std::to_string(c.fileWidth));
    EXPECT_EQ(probe.Stream("video", "height"), std::to_string(c.fileHeight));
    const std::vector<uint8_t> luma = test::Mp4Probe::FirstFrameLuma(file);
    ASSERT_EQ(luma.size(), static_cast<size_t>(c.fileWidth) * c.fileHeight);
    // White (luma 235) to the last row and column: no black bars at the edges.
    EXPECT_GE(*std::min_element(luma.end() - c.fileWidth, luma.end()), 230);
    for (uint32_t row = 0; row < c.fileHeight; ++row)
        ASSERT_GE(luma[row * c.fileWidth + c.fileWidth - 1], 230) << "row " << row;
}

INSTANTIATE_TEST_SUITE_P(Sizes, EncoderSizeTest,
                         ::testing::Values(SizeCase{"FullHd", 1920, 1080, 1920, 1080, true},
                                           SizeCase{"WxgaWithoutDevice", 1366, 768, 1366, 768,
                                                    false},
                                           SizeCase{"Odd", 1001, 601, 1000, 600, true},
                                           SizeCase{"Tiny", 17, 9, 16, 8, true}),
                         [](const auto& info) { return info.param.name; });

// 60 fps with a 2 s key-frame interval is a GOP of 120 frames; a Baseline stream takes no codec
// settings at all and keeps the encoder's own (longer) interval.
TEST_F(EncoderTest, KeyFrameIntervalFollowsTheSettingsUnlessBaseline) {
    for (const auto& [profile, secondKeyBy120] : {std::pair{1u, true}, {2u, false}}) {
        SCOPED_TRACE(profile == 1 ? "Main" : "Baseline");
        const auto file = m_dir.path() / ("gop" + std::to_string(profile) + ".mp4");
        EncoderSettings settings = Settings(file, 64, 64);
        settings.fps = 60;
        settings.keyframeIntervalSeconds = 2;
        settings.profile = profile;
        settings.bFrames = 2;
        Encoder encoder;
        encoder.SetD3DDevice(m_device.get());
        ASSERT_TRUE(encoder.Initialize(settings));
        WriteFrames(encoder, 64, 64, 130, 166'666, true);
        encoder.Finalize();
        const test::Mp4Probe probe(file);
        const std::vector<long long> keys = probe.VideoKeyFrames();
        ASSERT_FALSE(keys.empty());
        EXPECT_EQ(keys.front(), 0);
        // The encoder may set the key frame a little early to close a group of B-frames.
        EXPECT_EQ(keys.size() > 1 && keys[1] > 100 && keys[1] <= 120, secondKeyBy120);
        if (!secondKeyBy120) {
            EXPECT_EQ(keys.size(), 1u);
        }
        EXPECT_EQ(probe.VideoFramePts().size(), 130u);
    }
}

TEST_F(EncoderTest, LifecycleCallsOutOfOrderDoNothing) {
    const auto file = m_dir.path() / "rec.mp4";
    Encoder encoder;
    encoder.Finalize();  // before Initialize
    auto frame = test::SolidFrame(*m_device, 64, 64, {});
    EXPECT_FALSE(encoder.WriteVideoFrame(frame.get(), 0));
    ASSERT_TRUE(encoder.Initialize(Settings(file, 64, 64)));
    EXPECT_FALSE(encoder.Initialize(Settings(m_dir.path() / "second.mp4", 64, 64)));
    EXPECT_FALSE(std::filesystem::exists(m_dir.path() / "second.mp4"));
    EXPECT_TRUE(encoder.WriteVideoFrame(frame.get(), 0));
    EXPECT_FALSE(encoder.WriteVideoFrame(nullptr, 1));
    encoder.Finalize();
    encoder.Finalize();
    EXPECT_FALSE(encoder.WriteVideoFrame(frame.get(), kTicks30));
    const std::vector<uint8_t> nv12(64 * 96, 16);
    EXPECT_FALSE(encoder.WriteNV12Frame(nv12.data(), 64, kTicks30));
    EXPECT_EQ(encoder.VideoFramesWritten(), 1u);
    EXPECT_EQ(test::Mp4Probe(file).VideoFramePts().size(), 1u);
}

TEST_F(EncoderTest, RepacksNv12RowsWiderThanTheFrame) {
    const auto file = m_dir.path() / "pitch.mp4";
    Encoder encoder;
    ASSERT_TRUE(encoder.Initialize(Settings(file, 64, 32)));
    // Rows of 64 luma bytes at a 96-byte pitch; the padding is bright.
    const uint32_t pitch = 96;
    std::vector<uint8_t> image(pitch * 48, 250);
    for (uint32_t row = 0; row < 48; ++row)
        std::fill_n(image.begin() + row * pitch, 64, row < 32 ? 100 : 128);
    ASSERT_TRUE(encoder.WriteNV12Frame(image.data(), pitch, 0));
    encoder.Finalize();
    const std::vector<uint8_t> luma = test::Mp4Probe::FirstFrameLuma(file);
    ASSERT_EQ(luma.size(), 64u * 32u);
    EXPECT_LE(*std::max_element(luma.begin(), luma.end()), 104);
    EXPECT_GE(*std::min_element(luma.begin(), luma.end()), 96);
}

TEST_F(EncoderTest, FramesTheConverterCannotReadTakeTheCpuPath) {
    const auto file = m_dir.path() / "cpu.mp4";
    Encoder encoder;
    encoder.SetD3DDevice(m_device.get());
    ASSERT_TRUE(encoder.Initialize(Settings(file, 64, 64)));
    test::LogCapture log;
    for (int i = 0; i < 2; ++i) {
        auto staging = test::SolidFrame(*m_device, 64, 64, {}, gfx::Usage::kStaging);
        EXPECT_TRUE(encoder.WriteVideoFrame(staging.get(), i * kTicks30));
    }
    // The copy of a faulting device skips the frame, and the next one tries again.
    m_device->SetFaults({.faultWork = true});
    auto frame = test::SolidFrame(*m_device, 64, 64, {});
    EXPECT_FALSE(encoder.WriteVideoFrame(frame.get(), 2 * kTicks30));
    m_device->SetFaults({});
    EXPECT_TRUE(encoder.WriteVideoFrame(frame.get(), 3 * kTicks30));
    encoder.Finalize();
    EXPECT_EQ(log.Count("[Encoder] Active video path: CPU fallback/readback"), 1);
    EXPECT_EQ(log.Count("[ColorConverter] Failed to create input SRV"), 2);
    EXPECT_EQ(log.Count("SEH EXCEPTION"), 1);
    EXPECT_EQ(encoder.VideoFramesWritten(), 3u);
}

struct ChoiceCase {
    const char* name;
    // What the machine's encoder list holds: a hardware encoder by this name (none if null), then
    // a software one.
    const char* hardware;
    const char* software;
    bool cacheFile;  // the format comes from the cache file, which keeps no encoder name
    bool fallback;
    const char* line;
};

class EncoderChoiceTest : public EncoderTest, public ::testing::WithParamInterface<ChoiceCase> {};

// The stream runs on the encoder discovery chose (hardware first), and on libx264 when that one
// does not open. The scripted hardware encoders carry names libavcodec knows: "libx264" opens
// here, the real hardware ones have no device on this machine. The writer gets the device manager
// only when a hardware encoder takes it.
TEST_P(EncoderChoiceTest, StreamOpensTheChosenEncoderOrFallsBackToLibx264) {
    const ChoiceCase& c = GetParam();
    if (c.cacheFile)
        EncoderFormatCache::SaveEncoderCache(media::kSubtypeNV12);
    std::vector<media::ScriptedEncoder> encoders{
        {.friendlyName = c.software, .inputTypes = {media::kSubtypeNV12}}};
    if (c.hardware) {
        encoders.push_back({.friendlyName = c.hardware,
                            .hardware = true,
                            .acceptsGpuDevice = 1,
                            .inputTypes = {media::kSubtypeNV12}});
    }
    const auto list = std::make_shared<media::ScriptedEncoderList>(encoders);
    const auto file = m_dir.path() / "choice.mp4";
    setenv("TAMRO_PERF", "1", 1);
    test::LogCapture log;
    Encoder encoder(list);
    encoder.SetD3DDevice(m_device.get());
    ASSERT_TRUE(encoder.Initialize(Settings(file, 64, 64)));
    EXPECT_EQ(list->Activations(), c.cacheFile ? 0 : 1);
    EXPECT_EQ(log.Count("[Encoder] Video encoder: "), 1);
    EXPECT_TRUE(log.Contains(c.line));
    EXPECT_EQ(log.Contains("did not open"), c.fallback);
    EXPECT_EQ(encoder.VideoEncoderName(), "libx264");
    EXPECT_EQ(encoder.UsesDeviceManager(), c.hardware != nullptr);
    EXPECT_EQ(log.Contains("hwD3DManager=YES"), c.hardware != nullptr);
    EXPECT_EQ(log.Contains("[Encoder] No hardware encoder available, using CPU path"), !c.hardware);
    WriteFrames(encoder, 64, 64, 3);
    encoder.Finalize();
    EXPECT_EQ(test::Mp4Probe(file).VideoFramePts().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Machines, EncoderChoiceTest,
    ::testing::Values(
        // Had the software encoder been taken, its name would show as a failed one.
        ChoiceCase{"HardwareChosenAndOpened", "libx264", "h264_v4l2m2m", false, false,
                   "[Encoder] Video encoder: libx264"},
        ChoiceCase{"HardwareFailsToOpen", "h264_nvenc", "libx264", false, true,
                   "[Encoder] Video encoder: libx264 (h264_nvenc did not open at 64x64)"},
        ChoiceCase{"FromTheCacheFileTheFirstHardwareOne", "h264_vaapi", "libx264", true, true,
                   "[Encoder] Video encoder: libx264 (h264_vaapi did not open at 64x64)"},
        ChoiceCase{"SoftwareOnly", nullptr, "libx264", false, false,
                   "[Encoder] Video encoder: libx264"}),
    [](const auto& info) { return info.param.name; });

// Each fails with one line and leaves no file.
TEST_F(EncoderTest, BadSettingsFailWithOneLineAndNoFile) {
    std::ofstream(m_dir.path() / "plain-file");
    const struct {
        std::string relativePath;
        uint32_t width, height, fps;
        const char* line;
    } kCases[] = {
        {"a.mp4", 64, 64, 0, "invalid output 64x64 @0fps"},
        {"a.mp4", 0, 64, 30, "invalid output 0x64 @30fps"},
        // Nothing is left once an odd size of one pixel is rounded down to even.
        {"a.mp4", 1, 1, 30, "invalid output 1x1 @30fps"},
        {"a.mp4", 64, static_cast<uint32_t>(-2), 30, "invalid output 64x-2 @30fps"},
        {"none/a.mp4", 64, 64, 30, "output folder does not exist"},
        {"plain-file/a.mp4", 64, 64, 30, "output folder does not exist"},
        {"a.mkv", 64, 64, 30, "output path is not an .mp4 file"},
        {"", 64, 64, 30, "output path is not an .mp4 file"},
        // An absolute path replaces the test folder: the sink writer is the first to fail.
        {"/proc/tamro-test.mp4", 64, 64, 30, "[Encoder] Failed to create sink writer: 0x"}};
    auto frame = test::SolidFrame(*m_device, 64, 64, {});
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.line);
        EncoderSettings settings = Settings(m_dir.path() / c.relativePath, c.width, c.height);
        settings.fps = c.fps;
        test::LogCapture log;
        Encoder encoder;
        encoder.SetD3DDevice(m_device.get());
        EXPECT_FALSE(encoder.Initialize(settings));
        EXPECT_EQ(log.Count("Initialize failed") + log.Count("Failed to create sink writer"), 1);
        EXPECT_TRUE(log.Contains(c.line));
        std::vector<std::filesystem::path> left;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(m_dir.path()))
            left.push_back(entry.path().filename());
        EXPECT_EQ(left, std::vector<std::filesystem::path>{"plain-file"});
        EXPECT_FALSE(encoder.WriteVideoFrame(frame.get(), 0));
    }
}

}  // namespace
}  // namespace tamro
