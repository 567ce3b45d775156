#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "platform/camera/FrameDecoder.h"
#include "support/GuardedBuffer.h"
#include "support/JpegFrames.h"

namespace tamro::test {
namespace {

using namespace platform::camera;

constexpr uint32_t kYuyv = Fourcc('Y', 'U', 'Y', 'V');
constexpr uint32_t kNv12 = Fourcc('N', 'V', '1', '2');
constexpr uint32_t kMjpeg = Fourcc('M', 'J', 'P', 'G');
constexpr uint32_t kBgrx = Fourcc('B', 'G', 'R', '4');
constexpr uint32_t kBgra = Fourcc('A', 'R', '2', '4');

VideoFormat FormatOf(uint32_t fourcc, uint32_t width, uint32_t height) {
    return VideoFormat{fourcc, "", width, height, 30, 1};
}

// Colours as UVC cameras code them (BT.601, limited range): Y, U, V, and the R, G, B they are.
constexpr std::array<std::array<uint8_t, 6>, 6> kColours = {{
    {16, 128, 128, 0, 0, 0},
    {235, 128, 128, 255, 255, 255},
    {126, 128, 128, 128, 128, 128},
    {81, 90, 240, 255, 0, 0},
    {145, 54, 34, 0, 255, 0},
    {41, 240, 110, 0, 0, 255},
}};
// Each colour fills a stripe this wide, so that no chroma sample straddles two.
constexpr uint32_t kStripe = 8;
constexpr uint32_t kWidth = kStripe * kColours.size();
constexpr uint32_t kHeight = 16;

// The colour stripes as a camera sends them; as BGRA, what its JPEG encoder would see.
std::vector<uint8_t> Stripes(uint32_t fourcc) {
    std::vector<uint8_t> out;
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; x += fourcc == kYuyv ? 2 : 1) {
            const auto& [cy, cu, cv, r, g, b] = kColours[x / kStripe];
            if (fourcc == kYuyv)
                out.insert(out.end(), {cy, cu, cy, cv});
            else if (fourcc == kNv12)
                out.push_back(cy);
            else
                out.insert(out.end(), {b, g, r, 0xFF});
        }
    }
    for (uint32_t y = 0; fourcc == kNv12 && y < kHeight / 2; ++y) {
        for (uint32_t x = 0; x < kWidth; x += 2)
            out.insert(out.end(), {kColours[x / kStripe][1], kColours[x / kStripe][2]});
    }
    return out;
}

// Every stripe's middle column holds its colour within `tolerance`, opaque, on every row.
void ExpectStripes(const Frame& frame, int tolerance) {
    ASSERT_NE(frame.data, nullptr);
    ASSERT_EQ(frame.width, kWidth);
    ASSERT_EQ(frame.height, kHeight);
    ASSERT_EQ(frame.stride, kWidth * 4);
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = kStripe / 2; x < kWidth; x += kStripe) {
            const uint8_t* pixel = frame.data + y * frame.stride + x * 4;
            const auto& colour = kColours[x / kStripe];
            EXPECT_NEAR(pixel[0], colour[5], tolerance) << "blue at " << x << "," << y;
            EXPECT_NEAR(pixel[1], colour[4], tolerance) << "green at " << x << "," << y;
            EXPECT_NEAR(pixel[2], colour[3], tolerance) << "red at " << x << "," << y;
            EXPECT_EQ(pixel[3], 0xFF) << "alpha at " << x << "," << y;
        }
    }
}

std::vector<uint8_t> StripesJpeg(ChromaSubsampling subsampling) {
    const std::vector<uint8_t> bgra = Stripes(kBgra);
    return EncodeJpeg(bgra.data(), kWidth * 4, kWidth, kHeight, 95, subsampling);
}

TEST(FrameDecoderTest, CameraFormatsGiveTheirColoursOpaque) {
    FrameDecoder decoder;
    for (const uint32_t fourcc : {kYuyv, kNv12}) {
        const std::vector<uint8_t> frame = Stripes(fourcc);
        ExpectStripes(decoder.Decode(FormatOf(fourcc, kWidth, kHeight), frame.data(), frame.size()),
                      4);
    }
    // A JPEG's own size counts, whatever was negotiated.
    for (const auto subsampling : {ChromaSubsampling::k422, ChromaSubsampling::k420}) {
        const std::vector<uint8_t> jpeg = StripesJpeg(subsampling);
        ExpectStripes(decoder.Decode(FormatOf(kMjpeg, 640, 480), jpeg.data(), jpeg.size()), 8);
    }
}

TEST(FrameDecoderTest, RgbFramesAreCopiedAndMadeOpaqueOnlyWithoutAlpha) {
    const std::vector<uint8_t> source = {10, 20, 30, 0, 40, 50, 60, 128};
    FrameDecoder decoder;
    Frame frame = decoder.Decode(FormatOf(kBgrx, 2, 1), source.data(), source.size());
    ASSERT_NE(frame.data, nullptr);
    EXPECT_EQ(std::vector(frame.data, frame.data + 8),
              (std::vector<uint8_t>{10, 20, 30, 255, 40, 50, 60, 255}));
    frame = decoder.Decode(FormatOf(kBgra, 2, 1), source.data(), source.size());
    ASSERT_NE(frame.data, nullptr);
    EXPECT_EQ(std::vector(frame.data, frame.data + 8), source);
}

struct RawCase {
    uint32_t fourcc;
    uint32_t width;
    uint32_t height;
    size_t bytes;  // the least a whole frame takes
};

class FrameDecoderRawSizeTest : public testing::TestWithParam<RawCase> {};

// A frame exactly as long as its format needs, ending right before a page that cannot be read,
// decodes without reading past it; a byte less is a short frame.
TEST_P(FrameDecoderRawSizeTest, ReadsAWholeFrameAndNoFurther) {
    const RawCase& c = GetParam();
    std::mt19937 random(1);
    GuardedBuffer whole(c.bytes);
    whole.Fill(random);
    GuardedBuffer shorter(c.bytes - 1);
    shorter.Fill(random);
    FrameDecoder decoder;
    const VideoFormat format = FormatOf(c.fourcc, c.width, c.height);
    const Frame frame = decoder.Decode(format, whole.data(), whole.size());
    ASSERT_NE(frame.data, nullptr);
    EXPECT_EQ(frame.width, c.width);
    EXPECT_EQ(frame.height, c.height);
    EXPECT_EQ(frame.stride, c.width * 4);
    EXPECT_EQ(decoder.Decode(format, shorter.data(), shorter.size()).data, nullptr);
    EXPECT_EQ(decoder.Decode(format, nullptr, c.bytes).data, nullptr);
    EXPECT_EQ(decoder.Decode(FormatOf(c.fourcc, 0, c.height), whole.data(), c.bytes).data, nullptr);
}

INSTANTIATE_TEST_SUITE_P(OddSizes, FrameDecoderRawSizeTest,
                         testing::Values(RawCase{kYuyv, 34, 17, 34 * 17 * 2},
                                         RawCase{kYuyv, 33, 17, 34 * 17 * 2},
                                         RawCase{kNv12, 33, 17, 33 * 17 + 34 * 9},
                                         RawCase{kNv12, 34, 18, 34 * 18 * 3 / 2},
                                         RawCase{kBgrx, 33, 17, 33 * 17 * 4}));

TEST(FrameDecoderTest, MjpegWithoutHuffmanTablesDecodesAsWithThem) {
    const std::vector<uint8_t> jpeg = StripesJpeg(ChromaSubsampling::k422);
    const std::vector<uint8_t> bare = WithoutHuffmanTables(jpeg);
    ASSERT_LT(bare.size(), jpeg.size());
    FrameDecoder decoder;
    const Frame withTables =
        decoder.Decode(FormatOf(kMjpeg, kWidth, kHeight), jpeg.data(), jpeg.size());
    ASSERT_NE(withTables.data, nullptr);
    const std::vector expected(withTables.data, withTables.data + withTables.stride * kHeight);
    // A fresh decoder, so that no table is left over from the frame above.
    FrameDecoder fresh;
    const Frame withoutTables =
        fresh.Decode(FormatOf(kMjpeg, kWidth, kHeight), bare.data(), bare.size());
    ASSERT_NE(withoutTables.data, nullptr);
    EXPECT_EQ(std::vector(withoutTables.data, withoutTables.data + withoutTables.stride * kHeight),
              expected);
}

// The middle of a baseline JPEG's entropy-coded data: between the SOS segment and EOI.
size_t ScanMiddle(const std::vector<uint8_t>& jpeg) {
    size_t at = 2;
    while (at + 4 < jpeg.size() && jpeg[at + 1] != 0xDA)
        at += 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
    return (at + jpeg.size()) / 2;
}

// A damaged frame gives no picture, and leaves the decoder able to read the next good one.
TEST(FrameDecoderTest, DamagedMjpegGivesNoPictureAndTheNextFrameDecodes) {
    const std::vector<uint8_t> jpeg = StripesJpeg(ChromaSubsampling::k422);
    std::vector<uint8_t> cut(jpeg.begin(), jpeg.begin() + ScanMiddle(jpeg));
    std::vector<uint8_t> marked = jpeg;
    marked[ScanMiddle(jpeg)] = 0xFF;
    marked[ScanMiddle(jpeg) + 1] = 0xD9;
    std::vector<uint8_t> noise(jpeg.size());
    std::mt19937 random(5);
    for (uint8_t& byte : noise)
        byte = static_cast<uint8_t>(random());

    FrameDecoder decoder;
    const VideoFormat format = FormatOf(kMjpeg, kWidth, kHeight);
    for (const auto* damaged : {&cut, &marked, &noise}) {
        EXPECT_EQ(decoder.Decode(format, damaged->data(), damaged->size()).data, nullptr);
        ExpectStripes(decoder.Decode(format, jpeg.data(), jpeg.size()), 8);
    }
}

}  // namespace
}  // namespace tamro::test
