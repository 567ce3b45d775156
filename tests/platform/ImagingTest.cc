#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/imaging/JpegFile.h"
#include "platform/imaging/PngFile.h"

namespace tamro::platform::imaging {
namespace {

namespace fs = std::filesystem;

class ImagingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("tamro-imaging-" + std::to_string(getpid()));
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string PathOf(const char* name) const { return (m_dir / name).string(); }

    void WriteBytes(const std::string& path, const std::string& bytes) const {
        std::ofstream(path, std::ios::binary) << bytes;
    }

    // Smooth, so that JPEG keeps it closely: red across, green down, blue constant.
    static Picture Ramp(uint32_t width, uint32_t height) {
        Picture picture{width, height, std::vector<uint8_t>(size_t{width} * height * 4)};
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                uint8_t* p = picture.Pixel(x, y);
                p[0] = static_cast<uint8_t>(x * 255 / (width - 1));
                p[1] = static_cast<uint8_t>(y * 255 / (height - 1));
                p[2] = 90;
                p[3] = 255;
            }
        }
        return picture;
    }

    fs::path m_dir;
};

TEST_F(ImagingTest, JpegKeepsThePictureThroughWriteAndRead) {
    // Odd sizes: partial MCUs at the right and bottom edges.
    const Picture original = Ramp(203, 77);
    const std::string path = PathOf("ramp.jpg");
    ASSERT_EQ(JpegFile::Write(path, original), ImageStatus::kOk);

    Picture read;
    ASSERT_EQ(JpegFile::Read(path, &read), ImageStatus::kOk);
    ASSERT_EQ(read.width, 203u);
    ASSERT_EQ(read.height, 77u);
    ASSERT_EQ(read.rgba.size(), size_t{203} * 77 * 4);
    int worst = 0;
    for (size_t i = 0; i < read.rgba.size(); ++i) {
        if (i % 4 == 3)
            ASSERT_EQ(read.rgba[i], 255) << "alpha is opaque";
        else
            worst = std::max(worst, std::abs(read.rgba[i] - original.rgba[i]));
    }
    EXPECT_LE(worst, 12) << "channels stay in RGBA order, close to the original";
}

TEST_F(ImagingTest, JpegFailuresAreNamedAndLeaveNoPicture) {
    Picture picture = Ramp(16, 16);
    EXPECT_EQ(JpegFile::Read(PathOf("missing.jpg"), &picture), ImageStatus::kOpenFailed);
    EXPECT_TRUE(picture.rgba.empty());

    WriteBytes(PathOf("text.jpg"), "not a picture at all");
    EXPECT_EQ(JpegFile::Read(PathOf("text.jpg"), &picture), ImageStatus::kCorrupt);

    // A file cut short mid-scan is refused rather than padded with grey.
    ASSERT_EQ(JpegFile::Write(PathOf("whole.jpg"), Ramp(256, 256)), ImageStatus::kOk);
    std::ifstream whole(PathOf("whole.jpg"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(whole)), {});
    WriteBytes(PathOf("cut.jpg"), bytes.substr(0, bytes.size() / 2));
    EXPECT_EQ(JpegFile::Read(PathOf("cut.jpg"), &picture), ImageStatus::kCorrupt);
    EXPECT_EQ(picture.width, 0u);
    EXPECT_TRUE(picture.rgba.empty());

    EXPECT_EQ(JpegFile::Write(PathOf("no-such-dir/out.jpg"), Ramp(8, 8)), ImageStatus::kOpenFailed);
    EXPECT_EQ(JpegFile::Write(PathOf("empty.jpg"), Picture{}), ImageStatus::kUnsupported);
    EXPECT_FALSE(fs::exists(PathOf("empty.jpg")));
}

TEST_F(ImagingTest, PngReadsRgbAndRgbaAsRgba) {
    const uint8_t rgb[] = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};  // 2 x 2
    const uint8_t rgba[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (const auto& [name, format, pixels] : {std::tuple{"rgb.png", PNG_FORMAT_RGB, rgb},
                                               std::tuple{"rgba.png", PNG_FORMAT_RGBA, rgba}}) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = 2;
        image.height = 2;
        image.format = format;
        ASSERT_TRUE(png_image_write_to_file(&image, PathOf(name).c_str(), 0, pixels, 0, nullptr));

        Picture picture;
        ASSERT_EQ(PngFile::Read(PathOf(name), &picture), ImageStatus::kOk) << name;
        ASSERT_EQ(picture.width, 2u);
        ASSERT_EQ(picture.height, 2u);
        const bool hasAlpha = format == PNG_FORMAT_RGBA;
        const int channels = hasAlpha ? 4 : 3;
        for (int i = 0; i < 4; ++i) {
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(picture.rgba[i * 4 + c], pixels[i * channels + c]) << name;
            EXPECT_EQ(picture.rgba[i * 4 + 3], hasAlpha ? pixels[i * 4 + 3] : 255) << name;
        }
    }

    Picture picture;
    EXPECT_EQ(PngFile::Read(PathOf("missing.png"), &picture), ImageStatus::kOpenFailed);
    WriteBytes(PathOf("text.png"), "not a picture at all");
    EXPECT_EQ(PngFile::Read(PathOf("text.png"), &picture), ImageStatus::kCorrupt);
    EXPECT_TRUE(picture.rgba.empty());
}

}  // namespace
}  // namespace tamro::platform::imaging
