#include <gtest/gtest.h>

#include <vector>

#include "platform/media/FfmpegEncoderList.h"

namespace tamro::platform::media {
namespace {

MediaType H264Output(uint32_t width, uint32_t height) {
    return MediaType{.major = MajorType::kVideo,
                     .subtype = kSubtypeH264,
                     .width = width,
                     .height = height,
                     .frameRateNumerator = 30,
                     .frameRateDenominator = 1,
                     .averageBitrate = 8'000'000,
                     .interlaceMode = kInterlaceProgressive};
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
    EXPECT_EQ(transform->SetOutputType(H264Output(0, 1080)), kInvalidMediaType);
    ASSERT_EQ(transform->SetOutputType(H264Output(1376, 768)), kOk);
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
