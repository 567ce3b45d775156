// The recorded picture on a private Xvfb: its size, its edges and its colours as a player decodes
// them, and the entropy coder the settings ask for.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/ChildProcess.h"
#include "support/Mp4Probe.h"
#include "support/TempDir.h"
#include "support/XvfbServer.h"
#include "tamro/Diagnostics.h"
#include "tamro/NativeRecorder.h"
// Xlib last: its macros clash with names in the headers above.
#include <X11/Xlib.h>

namespace tamro {
namespace {

struct Rgb {
    int r = 0;
    int g = 0;
    int b = 0;
};

// Everything a shell command writes to its standard output.
std::string CommandOutput(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        std::array<char, 65536> chunk;
        for (size_t got; (got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;)
            output.append(chunk.data(), got);
        ::pclose(pipe);
    }
    return output;
}

// The last frame of a recording in RGB, converted from YUV with the matrix and range the stream
// is tagged with, as a player does.
class DecodedFrame {
  public:
    DecodedFrame(const std::string& file, const test::Mp4Probe& probe)
        : m_width(std::stoi("0" + probe.Stream("video", "width"))),
          m_height(std::stoi("0" + probe.Stream("video", "height"))) {
        const std::string range = probe.Stream("video", "color_range") == "pc" ? "full" : "limited";
        m_command =
            "ffmpeg -v error -sseof -0.2 -i '" + file +
            "' -frames:v 1 -vf scale=in_color_matrix=" + probe.Stream("video", "color_space") +
            ":in_range=" + range + ":out_range=full,format=rgb24 -f rawvideo -";
        m_rgb = CommandOutput(m_command);
        if (m_rgb.size() != static_cast<size_t>(m_width) * m_height * 3)
            m_rgb.clear();
    }

    bool Decoded() const { return !m_rgb.empty(); }
    const std::string& Command() const { return m_command; }
    Rgb At(int x, int y) const {
        const auto* p = reinterpret_cast<const uint8_t*>(m_rgb.data()) +
                        (static_cast<size_t>(y) * m_width + x) * 3;
        return {p[0], p[1], p[2]};
    }
    // The darkest pixel on the frame's border rows and columns, by its brightest channel.
    int DarkestEdge() const {
        int darkest = 255;
        auto visit = [&](int x, int y) {
            const Rgb c = At(x, y);
            darkest = std::min(darkest, std::max({c.r, c.g, c.b}));
        };
        for (int x = 0; x < m_width; ++x)
            visit(x, 0), visit(x, m_height - 1);
        for (int y = 0; y < m_height; ++y)
            visit(0, y), visit(m_width - 1, y);
        return darkest;
    }

  private:
    int m_width;
    int m_height;
    std::string m_command;
    std::string m_rgb;
};

class PictureEndToEndTest : public ::testing::Test {
  protected:
    // A screen of this size, filled with `colour`, recorded for a second through the tool.
    std::string RecordScreen(const std::string& geometry, unsigned long colour,
                             const std::string& name) {
        test::XvfbServer server(geometry + "x24");
        if (!server.Running())
            return {};
        ::Display* display = XOpenDisplay(server.Name().c_str());
        if (!display)
            return {};
        XSetWindowBackground(display, DefaultRootWindow(display), colour);
        XClearWindow(display, DefaultRootWindow(display));
        XSync(display, False);
        const std::string file = (m_dir.path() / name).string();
        test::ChildProcess tool({TAMRO_RECORD_TOOL, "--seconds", "1", "--no-mic",
                                 "--no-system-audio", "--output", file},
                                {"DISPLAY=" + server.Name()}, (m_dir.path() / "tool.log").string());
        const int status = tool.Wait();
        XCloseDisplay(display);
        return status == 0 ? file : std::string();
    }

    void ExpectExactSizeWithoutBars(const std::string& geometry, int width, int height) {
        const std::string file = RecordScreen(geometry, 0x4080C0, "size.mp4");
        ASSERT_FALSE(file.empty()) << "Xvfb or the tool failed";
        const test::Mp4Probe probe(file);
        EXPECT_EQ(probe.Stream("video", "width"), std::to_string(width));
        EXPECT_EQ(probe.Stream("video", "height"), std::to_string(height));
        const DecodedFrame frame(file, probe);
        ASSERT_TRUE(frame.Decoded()) << frame.Command();
        EXPECT_GT(frame.DarkestEdge(), 60) << "a black row or column at the edge";
    }

    test::TempDir m_dir;
};

TEST_F(PictureEndToEndTest, FullHdScreenGivesA1920x1080FileWithoutBars) {
    ExpectExactSizeWithoutBars("1920x1080", 1920, 1080);
}

TEST_F(PictureEndToEndTest, Screen1366x768GivesA1366x768FileWithoutBars) {
    ExpectExactSizeWithoutBars("1366x768", 1366, 768);
}

TEST_F(PictureEndToEndTest, OddScreen1001x601LosesItsLastColumnAndRowOnly) {
    ExpectExactSizeWithoutBars("1001x601", 1000, 600);
}

// Ten patches across the screen; each comes back from the file within 3 of its value per channel.
TEST_F(PictureEndToEndTest, ColourPatchesRoundTripThroughTheFile) {
    constexpr std::array<unsigned long, 10> kColours = {0x000000, 0xFFFFFF, 0x808080, 0xFF0000,
                                                        0x00FF00, 0x0000FF, 0x00FFFF, 0xFF00FF,
                                                        0xFFFF00, 0x3060C0};
    constexpr int kColumns = 5;
    constexpr int kPatchWidth = 1920 / kColumns;
    constexpr int kPatchHeight = 1080 / 2;
    test::XvfbServer server("1920x1080x24");
    ASSERT_TRUE(server.Running());
    ::Display* display = XOpenDisplay(server.Name().c_str());
    ASSERT_NE(display, nullptr);
    GC gc = XCreateGC(display, DefaultRootWindow(display), 0, nullptr);
    for (size_t i = 0; i < kColours.size(); ++i) {
        XSetForeground(display, gc, kColours[i]);
        XFillRectangle(display, DefaultRootWindow(display), gc,
                       static_cast<int>(i % kColumns) * kPatchWidth,
                       static_cast<int>(i / kColumns) * kPatchHeight, kPatchWidth, kPatchHeight);
    }
    XSync(display, False);
    const std::string file = (m_dir.path() / "colours.mp4").string();
    test::ChildProcess tool(
        {TAMRO_RECORD_TOOL, "--seconds", "1", "--no-mic", "--no-system-audio", "--output", file},
        {"DISPLAY=" + server.Name()}, (m_dir.path() / "tool.log").string());
    ASSERT_EQ(tool.Wait(), 0);
    XFreeGC(display, gc);
    XCloseDisplay(display);

    const test::Mp4Probe probe(file);
    EXPECT_EQ(probe.Stream("video", "color_space"), "bt709");
    EXPECT_EQ(probe.Stream("video", "color_range"), "tv");
    const DecodedFrame frame(file, probe);
    ASSERT_TRUE(frame.Decoded()) << frame.Command();
    for (size_t i = 0; i < kColours.size(); ++i) {
        const Rgb expected{static_cast<int>(kColours[i] >> 16),
                           static_cast<int>(kColours[i] >> 8) & 255,
                           static_cast<int>(kColours[i]) & 255};
        const Rgb got = frame.At(static_cast<int>(i % kColumns) * kPatchWidth + kPatchWidth / 2,
                                 static_cast<int>(i / kColumns) * kPatchHeight + kPatchHeight / 2);
        char name[16];
        std::snprintf(name, sizeof name, "#%06lx", kColours[i]);
        std::printf("%s -> (%d, %d, %d)\n", name, got.r, got.g, got.b);
        EXPECT_NEAR(got.r, expected.r, 3) << name;
        EXPECT_NEAR(got.g, expected.g, 3) << name;
        EXPECT_NEAR(got.b, expected.b, 3) << name;
    }
}

// Through the API, which carries the entropy setting: CABAC off gives a CAVLC stream.
TEST_F(PictureEndToEndTest, CabacOffGivesCavlcAndOnGivesCabac) {
    test::XvfbServer server("640x480x24");
    ASSERT_TRUE(server.Running());
    setenv("DISPLAY", server.Name().c_str(), 1);
    SetDiagnosticsToStandardError(false);
    for (const bool cabac : {false, true}) {
        const std::string file = (m_dir.path() / (cabac ? "cabac.mp4" : "cavlc.mp4")).string();
        const auto recorder = NativeRecorder::Create();
        RecordingConfig config;
        config.OutputPath(file);
        config.CaptureMicrophone(false);
        config.CaptureSystemAudio(false);
        config.VideoProfile(0);
        config.EnableCabac(cabac);
        ASSERT_TRUE(recorder->StartAsync(config)->Get());
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        recorder->Stop();
        const std::string trace = CommandOutput(
            "ffmpeg -hide_banner -i '" + file +
            "' -c copy -bsf:v trace_headers -f null - 2>&1 | grep entropy_coding_mode_flag");
        ASSERT_FALSE(trace.empty()) << "no picture parameter set traced";
        const std::string flag = cabac ? "= 1" : "= 0";
        EXPECT_NE(trace.find(flag), std::string::npos) << trace;
        EXPECT_EQ(trace.find(cabac ? "= 0" : "= 1"), std::string::npos) << trace;
    }
}

}  // namespace
}  // namespace tamro
