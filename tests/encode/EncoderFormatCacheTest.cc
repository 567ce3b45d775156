#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "encode/EncoderFormatCache.h"
#include "platform/media/ScriptedEncoderList.h"
#include "support/AppDataFolder.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace tamro {
namespace {

namespace media = platform::media;

constexpr ResultCode kRefused = static_cast<ResultCode>(0xC00D36B4);

media::ScriptedEncoder Offering(std::vector<media::Guid> inputs, const char* name = "Encoder") {
    return media::ScriptedEncoder{.friendlyName = name, .inputTypes = std::move(inputs)};
}

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

const std::vector<uint8_t> kNv12File = {0x02, 0x00, 0x00, 0x00, 0x4E, 0x56, 0x31, 0x32, 0x00, 0x00,
                                        0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// NV12 first, then the first YUV format an encoder offers, then the first RGB one.
TEST(EncoderDiscoveryTest, ChoosesByFormatPreference) {
    const struct {
        const char* name;
        std::vector<media::Guid> offered;
        media::Guid chosen;
    } kCases[] = {
        {"Nv12OverYuy2", {media::kSubtypeYUY2, media::kSubtypeNV12}, media::kSubtypeNV12},
        {"FirstYuvSeen", {media::kSubtypeYUY2, media::kSubtypeIYUV}, media::kSubtypeYUY2},
        {"FirstRgbSeen", {media::kSubtypeARGB32, media::kSubtypeRGB32}, media::kSubtypeARGB32},
        {"YuvOverRgb", {media::kSubtypeRGB32, media::kSubtypeYV12}, media::kSubtypeYV12}};
    for (const auto& c : kCases) {
        media::Guid chosen;
        ASSERT_TRUE(EncoderFormatCache::FindCompatibleEncoder(
            media::ScriptedEncoderList({Offering(c.offered)}), 1920, 1088, 30, &chosen))
            << c.name;
        EXPECT_EQ(chosen, c.chosen) << c.name;
    }
}

// Encoders that refuse to start or to take the size are passed over with a line each; none left,
// or none taking frames in a format the writer has, is said plainly.
TEST(EncoderDiscoveryTest, SkipsRefusingEncodersPrefersHardwareAndSaysWhenNoneIsLeft) {
    media::ScriptedEncoder refusesActivation = Offering({media::kSubtypeNV12}, "Broken");
    refusesActivation.hardware = true;
    refusesActivation.activateResult = kFail;
    media::ScriptedEncoder refusesSize = Offering({media::kSubtypeNV12}, "Small");
    refusesSize.setOutputTypeResult = kRefused;
    media::ScriptedEncoder unnamed = Offering({media::kSubtypeIYUV});
    unnamed.friendlyName.reset();
    // Script order puts the hardware one last; enumeration puts it first (index 0).
    const media::ScriptedEncoderList list({refusesSize, unnamed, refusesActivation});
    test::LogCapture log;
    media::Guid chosen;
    ASSERT_TRUE(EncoderFormatCache::FindCompatibleEncoder(list, 1280, 720, 60, &chosen));
    EXPECT_TRUE(log.Contains("[Encoder] Failed to activate encoder 0: 0x80004005"));
    EXPECT_TRUE(log.Contains("[Encoder] Failed to set output type: 0xC00D36B4"));
    EXPECT_EQ(chosen, media::kSubtypeIYUV);
    EXPECT_EQ(EncoderFormatCache::EncoderName(), "Unknown");
    const media::MediaType offered = list.LastOutputType();
    EXPECT_EQ(offered.width, 1280u);
    EXPECT_EQ(offered.frameRateNumerator, 60u);
    EXPECT_EQ(offered.averageBitrate, 16'000'000u);
    EXPECT_EQ(offered.interlaceMode, media::kInterlaceProgressive);

    EXPECT_FALSE(EncoderFormatCache::FindCompatibleEncoder(media::ScriptedEncoderList({}), 64, 64,
                                                           30, &chosen));
    EXPECT_TRUE(log.Contains("[Encoder] No H.264 encoders found!"));
    EXPECT_FALSE(EncoderFormatCache::FindCompatibleEncoder(
        media::ScriptedEncoderList({Offering({media::kSubtypeH264})}), 64, 64, 30, &chosen));
    EXPECT_TRUE(log.Contains("[Encoder] No encoder with compatible input format found"));
}

// A file of an old version says so in one line and is replaced by what discovery finds.
TEST(EncoderCacheFileTest, DiscoveryRewritesAnOldFileInThePlatformLayout) {
    test::AppDataFolder appData;
    std::vector<uint8_t> old = kNv12File;
    old[0] = 0x01;
    WriteBytes(appData.CacheFile(), old);
    const media::ScriptedEncoderList list({Offering({media::kSubtypeNV12}, "libx264")});
    test::LogCapture log;
    media::Guid chosen;
    ASSERT_TRUE(EncoderFormatCache::SelectInputSubtype(list, 1920, 1088, 30, &chosen));
    EXPECT_EQ(log.Count("[Encoder] Disk cache version mismatch, will rediscover"), 1);
    EXPECT_EQ(log.Count("[Encoder]"), 1);
    EXPECT_EQ(ReadBytes(appData.CacheFile()), kNv12File);
    EXPECT_EQ(EncoderFormatCache::EncoderName(), "libx264");
    // The process keeps the answer: no second discovery.
    ASSERT_TRUE(EncoderFormatCache::SelectInputSubtype(list, 640, 480, 30, &chosen));
    EXPECT_EQ(list.Activations(), 1);
}

// Whatever the file holds, a load gives a format the writer takes or nothing: files of random
// length and bytes, and the valid file with bytes changed, from a fixed seed. A short one is
// refused without a word.
TEST(EncoderCacheFileTest, DamagedFilesNeverYieldAnUnknownFormat) {
    test::AppDataFolder appData;
    WriteBytes(appData.CacheFile(), {kNv12File.begin(), kNv12File.begin() + 10});
    test::LogCapture log;
    media::Guid loaded;
    EXPECT_FALSE(EncoderFormatCache::LoadEncoderCache(&loaded));
    EXPECT_EQ(log.Count("[Encoder]"), 0);
    std::mt19937 random(20261208);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes = kNv12File;
        if (round % 2 == 0) {
            bytes.resize(random() % 40);
            for (uint8_t& byte : bytes)
                byte = static_cast<uint8_t>(random());
        } else {
            for (int flips = 1 + static_cast<int>(random() % 3); flips > 0; --flips)
                bytes[random() % bytes.size()] ^= static_cast<uint8_t>(1 + random() % 255);
        }
        WriteBytes(appData.CacheFile(), bytes);
        if (EncoderFormatCache::LoadEncoderCache(&loaded)) {
            ASSERT_TRUE(EncoderFormatCache::IsInputSubtype(loaded)) << "round " << round;
        }
    }
}

TEST(EncoderCacheFileTest, CacheHitSkipsDiscoveryAndHasNoEncoderName) {
    test::AppDataFolder appData;
    std::vector<uint8_t> yuy2 = kNv12File;
    yuy2[4] = 0x59, yuy2[5] = 0x55, yuy2[6] = 0x59, yuy2[7] = 0x32;
    WriteBytes(appData.CacheFile(), yuy2);
    const media::ScriptedEncoderList list({Offering({media::kSubtypeNV12})});
    EncoderFormatCache::PreWarm(list);
    media::Guid chosen;
    ASSERT_TRUE(EncoderFormatCache::SelectInputSubtype(list, 1920, 1088, 30, &chosen));
    EXPECT_EQ(chosen, media::kSubtypeYUY2);
    EXPECT_EQ(list.Activations(), 0);
    EXPECT_EQ(EncoderFormatCache::EncoderName(), "");
}

TEST(EncoderCacheFileTest, FailedPreWarmLeavesTheCacheEmptyForTheFirstRecording) {
    test::AppDataFolder appData;
    test::LogCapture log;
    EncoderFormatCache::PreWarm(media::ScriptedEncoderList({}));
    EXPECT_TRUE(log.Contains("[Encoder] Pre-warm failed - will retry on first recording"));
    EXPECT_FALSE(std::filesystem::exists(appData.CacheFile()));
    const media::ScriptedEncoderList list({Offering({media::kSubtypeNV12})});
    media::Guid chosen;
    EXPECT_TRUE(EncoderFormatCache::SelectInputSubtype(list, 1920, 1088, 30, &chosen));
    EXPECT_EQ(list.Activations(), 1);
    EXPECT_EQ(ReadBytes(appData.CacheFile()), kNv12File);
}

// A fresh account has no data folder at all: the whole chain is created, silently.
TEST(EncoderCacheFileTest, FoldersAreCreatedOnAFreshAccount) {
    test::TempDir home;
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", home.path().c_str(), 1);
    test::LogCapture log;
    EncoderFormatCache::SaveEncoderCache(media::kSubtypeNV12);
    setenv("HOME", savedHome.c_str(), 1);
    EXPECT_EQ(ReadBytes(home.path() / ".local" / "share" / "Tamro" / "encoder_cache.bin"),
              kNv12File);
    EXPECT_EQ(log.Count("[Encoder]"), 0);

    test::AppDataFolder appData;
    const auto nested = appData.CacheFile().parent_path().parent_path() / "not" / "yet";
    setenv("XDG_DATA_HOME", nested.c_str(), 1);
    EncoderFormatCache::SaveEncoderCache(media::kSubtypeNV12);
    EXPECT_EQ(ReadBytes(nested / "Tamro" / "encoder_cache.bin"), kNv12File);
}

}  // namespace
}  // namespace tamro
