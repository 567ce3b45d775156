// The recorded picture on private Xvfb screens of several sizes: its size, its edges and its
// colours as a player decodes them.

#include <gtest/gtest.h>

#include <array>
#include <string>

// Last: it brings in Xlib, whose macros clash with names in the headers above.
#include "e2e/EndToEnd.h"

namespace tamro::test {
namespace {

struct Screen {
    const char* geometry;
    int width;  // of the file
    int height;
};
void PrintTo(const Screen& screen, std::ostream* out) {
    *out << screen.geometry;
}

class PictureEndToEndTest : public EndToEndTest, public ::testing::WithParamInterface<Screen> {
  protected:
    PictureEndToEndTest() : EndToEndTest(std::string(GetParam().geometry) + "x24") {}
};

// Ten patches on a background that reaches every edge, recorded for a second through the tool:
// the file has the screen's size less any odd last column or row, no dark bars at its edges, the
// colour tags a player needs, and each patch within 3 of its value per channel.
TEST_P(PictureEndToEndTest, FileHasTheScreensSizeWithoutBarsAndItsColours) {
    constexpr std::array<unsigned long, 10> kColours = {0x000000, 0xFFFFFF, 0x808080, 0xFF0000,
                                                        0x00FF00, 0x0000FF, 0x00FFFF, 0xFF00FF,
                                                        0xFFFF00, 0x3060C0};
    const int margin = GetParam().height / 8;
    const int patchWidth = (GetParam().width - 2 * margin) / 5;
    const int patchHeight = (GetParam().height - 2 * margin) / 2;
    const auto centre = [&](size_t i) {
        return std::pair{margin + static_cast<int>(i % 5) * patchWidth + patchWidth / 2,
                         margin + static_cast<int>(i / 5) * patchHeight + patchHeight / 2};
    };
    Fill(m_painter, 0x4080C0);
    for (size_t i = 0; i < kColours.size(); ++i) {
        const auto [x, y] = centre(i);
        Fill(m_painter, kColours[i], x - patchWidth / 2, y - patchHeight / 2, patchWidth,
             patchHeight);
    }
    const std::string file = Output("picture.mp4");
    std::string log;
    ASSERT_EQ(RunTool({"--seconds", "1", "--no-mic", "--no-system-audio", "--output", file}, &log),
              0)
        << log;

    const Recording recording(file);
    EXPECT_EQ(recording.Width(), GetParam().width);
    EXPECT_EQ(recording.Height(), GetParam().height);
    EXPECT_EQ(recording.probe.Stream("video", "color_space"), "bt709");
    EXPECT_EQ(recording.probe.Stream("video", "color_range"), "tv");
    const Picture picture(recording, -0.2);
    ASSERT_TRUE(picture.Decoded()) << picture.Command();
    EXPECT_GT(picture.DarkestEdge(), 60) << "a black row or column at the edge";
    for (size_t i = 0; i < kColours.size(); ++i) {
        const auto [x, y] = centre(i);
        EXPECT_LE(ChannelDistance(picture.At(x, y), kColours[i]), 3)
            << std::hex << "#" << kColours[i] << " came back as #" << picture.At(x, y);
    }
}

INSTANTIATE_TEST_SUITE_P(Screens, PictureEndToEndTest,
                         ::testing::Values(Screen{"1920x1080", 1920, 1080},
                                           Screen{"1366x768", 1366, 768},
                                           // Loses its last column and row only.
                                           Screen{"1001x601", 1000, 600}),
                         [](const auto& info) { return std::string(info.param.geometry); });

}  // namespace
}  // namespace tamro::test
