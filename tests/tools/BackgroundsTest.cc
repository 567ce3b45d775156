#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/imaging/JpegFile.h"

namespace tamro::platform::imaging {
namespace {

constexpr std::array kPresetFiles = {
    "bg_abstract_waves.jpg", "bg_geometric_mesh.jpg", "bg_soft_bokeh.jpg",
    "bg_minimal_shapes.jpg", "bg_nature_leaves.jpg",  "bg_concrete_wall.jpg",
    "bg_office_blur.jpg",    "bg_bookshelf.jpg",      "bg_meeting_room.jpg",
    "bg_startup_office.jpg", "bg_executive_desk.jpg", "bg_brick_loft.jpg",
    "bg_city_view.jpg"};

std::string PresetPath(const char* name) {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "backgrounds" / name)
        .string();
}

// The bookshelf's look, as a picture test can find it: brown planks across the whole width at
// 27-31%, 52-56% and 77-81% of the height, and between them rows of narrow spines whose colour
// changes every few dozen pixels.
bool LooksLikeTheBookshelf(const Picture& picture) {
    const uint32_t h = picture.height;
    const uint32_t w = picture.width;
    for (const double plank : {0.29, 0.54, 0.79}) {
        double r = 0, g = 0, b = 0;
        const uint32_t y = static_cast<uint32_t>(plank * h);
        for (uint32_t x = w / 20; x < w - w / 20; ++x) {
            r += picture.Pixel(x, y)[0];
            g += picture.Pixel(x, y)[1];
            b += picture.Pixel(x, y)[2];
        }
        if (!(r > g && g > b && (r - b) / (w * 0.9) > 70))
            return false;
    }
    for (const double books : {0.20, 0.45, 0.70}) {
        const uint32_t y = static_cast<uint32_t>(books * h);
        const uint32_t step = std::max(1u, w / 480);
        int changes = 0;
        for (uint32_t x = w / 20; x + step < w - w / 20; x += step) {
            const uint8_t* p = picture.Pixel(x, y);
            const uint8_t* q = picture.Pixel(x + step, y);
            changes += std::abs(p[0] - q[0]) + std::abs(p[1] - q[1]) + std::abs(p[2] - q[2]) > 80;
        }
        // Spines are 24-58 px wide at 1920; neighbours of alike colour merge some edges.
        if (changes < static_cast<int>(w * 0.9 / 70))
            return false;
    }
    return true;
}

TEST(BackgroundsTest, EveryPresetIsBesideTheProgramAndOnlyTheBookshelfLooksLikeOne) {
    for (size_t i = 0; i < kPresetFiles.size(); ++i) {
        Picture picture;
        ASSERT_EQ(JpegFile::Read(PresetPath(kPresetFiles[i]), &picture), ImageStatus::kOk)
            << kPresetFiles[i];
        EXPECT_EQ(picture.width, 1920u);
        EXPECT_EQ(picture.height, 1080u);
        EXPECT_EQ(LooksLikeTheBookshelf(picture), i == 7) << kPresetFiles[i];
    }
}

}  // namespace
}  // namespace tamro::platform::imaging
