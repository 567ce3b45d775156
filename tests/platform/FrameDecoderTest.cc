#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <vector>

#include "platform/camera/FrameDecoder.h"
#include "support/GuardedBuffer.h"
#include "support/JpegFrames.h"

namespace tamro::test {
namespace {

using namespace platform::camera;

constexpr uint32_t kYuyv = Fourcc('Y', 'U', 'Y', 'V');
constexpr uint32_t kNv12 = Fourcc('N', 'V', '1', '2');
constexpr uint32_t kBgrx = Fourcc('B', 'G', 'R', '4');
constexpr uint32_t kBgra = Fourcc('A', 'R', '2', '4');

VideoFormat FormatOf(uint32_t fourcc, uint32_t width, uint32_t height) {
    return VideoFormat{fourcc, "", width, height, 30, 1};
}

std::vector<uint8_t> Bytes(const Frame& frame) {
    return {frame.data, frame.data + frame.stride * frame.height};  // none without a picture
}

// Colours as UVC cameras code them (BT.601, limited range): Y, U, V, and the R, G, B they are.
constexpr uint8_t kColours[][6] = {{16, 128, 128, 0, 0, 0},        {235, 128, 128, 255, 255, 255},
                                   {126, 128, 128, 128, 128, 128}, {81, 90, 240, 255, 0, 0},
                                   {145, 54, 34, 0, 255, 0},       {41, 240, 110, 0, 0, 255}};
// Each colour fills a stripe this wide, so that no chroma sample straddles two.
constexpr uint32_t kStripe = 8;
constexpr uint32_t kWidth = kStripe * std::size(kColours);
constexpr uint32_t kHeight = 16;

// The colour stripes as a camera sends them, a pair of pixels at a time; NV12's chroma rows follow
// its luma rows. As BGRX, with an alpha of 0 to be made opaque.
std::vector<uint8_t> Stripes(uint32_t fourcc) {
    std::vector<uint8_t> out;
    for (uint32_t y = 0; y < (fourcc == kNv12 ? kHeight * 3 / 2 : kHeight); ++y) {
        for (uint32_t x = 0; x < kWidth; x += 2) {
            const auto& [cy, cu, cv, r, g, b] = kColours[x / kStripe];
            if (fourcc == kYuyv)
                out.insert(out.end(), {cy, cu, cy, cv});
            else if (fourcc == kBgrx)
                out.insert(out.end(), {b, g, r, 0, b, g, r, 0});
            else
                out.insert(out.end(), {y < kHeight ? cy : cu, y < kHeight ? cy : cv});
        }
    }
    return out;
}

// Every stripe's middle column holds its colour within `tolerance`, opaque, on every row.
void ExpectStripes(const Frame& frame, int tolerance) {
    ASSERT_EQ(std::tuple(frame.width, frame.height, frame.stride),
              std::tuple(kWidth, kHeight, kWidth * 4));  // also when there is no picture
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = kStripe / 2; x < kWidth; x += kStripe) {
            const uint8_t* pixel = frame.data + y * frame.stride + x * 4;
            const auto& [cy, cu, cv, r, g, b] = kColours[x / kStripe];
            const uint8_t expected[] = {b, g, r, 0xFF};
            for (int c = 0; c < 4; ++c)
                EXPECT_NEAR(pixel[c], expected[c], tolerance) << "BGRA"[c] << '@' << x << ',' << y;
        }
    }
}

TEST(FrameDecoderTest, CameraFormatsGiveTheirColoursOpaque) {
    FrameDecoder decoder;
    for (const auto& [fourcc, tolerance] : {std::pair{kYuyv, 4}, {kNv12, 4}, {kBgrx, 0}}) {
        const std::vector<uint8_t> frame = Stripes(fourcc);
        ExpectStripes(decoder.Decode(FormatOf(fourcc, kWidth, kHeight), frame.data(), frame.size()),
                      tolerance);
    }
    // A picture with alpha of its own keeps it.
    const std::vector<uint8_t> bgrx = Stripes(kBgrx);
    EXPECT_EQ(Bytes(decoder.Decode(FormatOf(kBgra, kWidth, kHeight), bgrx.data(), bgrx.size())),
              bgrx);
}

// A JPEG's own size counts, whatever was negotiated. Many cameras leave out the Huffman tables,
// which a fresh decoder (none left over) must supply. A damaged frame gives no picture, and leaves
// the decoder able to read the next good one.
TEST(FrameDecoderTest, MjpegGivesItsColoursAlsoWithoutHuffmanTablesAndNoneWhenDamaged) {
    const std::vector<uint8_t> bgrx = Stripes(kBgrx);
    const VideoFormat format = FormatOf(Fourcc('M', 'J', 'P', 'G'), 640, 480);
    FrameDecoder decoder;
    for (const auto subsampling : {ChromaSubsampling::k422, ChromaSubsampling::k420}) {
        const auto jpeg = EncodeJpeg(bgrx.data(), kWidth * 4, kWidth, kHeight, 95, subsampling);
        const std::vector<uint8_t> bare = WithoutHuffmanTables(jpeg);
        ASSERT_LT(bare.size(), jpeg.size());
        // Halfway into the entropy-coded data, after SOS (a header holds 0xFF only in markers).
        const uint8_t sos[] = {0xFF, 0xDA};
        const size_t middle =
            (std::search(jpeg.begin(), jpeg.end(), sos, sos + 2) - jpeg.begin() + jpeg.size()) / 2;
        std::vector<uint8_t> marked = jpeg;
        marked.insert(marked.begin() + middle, {0xFF, 0xD9});  // EOI
        std::vector<uint8_t> noise(jpeg.size());
        std::generate(noise.begin(), noise.end(), std::mt19937(5));
        for (const auto& [data, bytes] : {std::pair{jpeg.data(), middle},
                                          {marked.data(), marked.size()},
                                          {noise.data(), noise.size()}}) {
            EXPECT_EQ(decoder.Decode(format, data, bytes).data, nullptr);
            const Frame frame = decoder.Decode(format, jpeg.data(), jpeg.size());
            ExpectStripes(frame, 8);
            EXPECT_EQ(Bytes(FrameDecoder().Decode(format, bare.data(), bare.size())), Bytes(frame));
        }
    }
}

// A frame exactly as long as its format needs, ending right before a page that cannot be read,
// decodes without reading past it; a byte less is a short frame.
TEST(FrameDecoderTest, RawFramesAreReadWholeAndNoFurther) {
    const std::tuple<uint32_t, uint32_t, uint32_t, size_t> cases[] = {
        {kYuyv, 34, 17, 34 * 17 * 2},      {kYuyv, 33, 17, 34 * 17 * 2},
        {kNv12, 33, 17, 33 * 17 + 34 * 9}, {kNv12, 34, 18, 34 * 18 * 3 / 2},
        {kBgrx, 33, 17, 33 * 17 * 4},
    };
    FrameDecoder decoder;
    for (const auto& [fourcc, width, height, bytes] : cases) {
        SCOPED_TRACE(testing::Message() << width << "x" << height);
        GuardedBuffer buffer(bytes);
        const VideoFormat format = FormatOf(fourcc, width, height);
        const Frame frame = decoder.Decode(format, buffer.data(), bytes);
        EXPECT_EQ(std::tuple(frame.width, frame.height, frame.stride),
                  std::tuple(width, height, width * 4));
        EXPECT_EQ(decoder.Decode(format, buffer.data() + 1, bytes - 1).data, nullptr);
        EXPECT_EQ(decoder.Decode(format, nullptr, bytes).data, nullptr);
        EXPECT_EQ(decoder.Decode(FormatOf(fourcc, 0, height), buffer.data(), bytes).data, nullptr);
    }
}

}  // namespace
}  // namespace tamro::test
