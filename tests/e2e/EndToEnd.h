#pragma once

// What the end-to-end tests share: a private X server to record, the tool or the API recording
// it, and what ffprobe and ffmpeg make of the files.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/Mp4Probe.h"
#include "support/TempDir.h"
#include "support/XvfbServer.h"
#include "tamro/Diagnostics.h"
#include "tamro/NativeRecorder.h"
// Xlib last: its macros (None, Bool, Status) clash with names in the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace tamro::test {

using namespace std::chrono_literals;

// Frame rates mean something only in an optimised build without sanitizers.
#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
constexpr bool kRatesMeasured = false;
#else
constexpr bool kRatesMeasured = true;
#endif

inline std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Seconds from a "num/den" time base and a count of its units.
inline double Seconds(const std::string& timeBase, long long units) {
    const size_t slash = timeBase.find('/');
    if (slash == std::string::npos)
        return 0.0;
    return static_cast<double>(units) * std::stod(timeBase.substr(0, slash)) /
           std::stod(timeBase.substr(slash + 1));
}

// What ffprobe makes of a recording, and whether it complained while reading all of it.
struct Recording {
    explicit Recording(const std::filesystem::path& path)
        : file(path.string()),
          probe(path),
          warnings(
              CommandOutput("ffprobe -v warning -show_frames '" + file + "' 2>&1 >/dev/null")) {}
    double Duration() const { return std::stod("0" + probe.Stream("video", "duration")); }
    // Where each stream ends on the file's timeline, in seconds.
    double End(const std::string& type) const {
        return std::stod("0" + probe.Stream(type, "start_time")) +
               std::stod("0" + probe.Stream(type, "duration"));
    }
    int Width() const { return std::stoi("0" + probe.Stream("video", "width")); }
    int Height() const { return std::stoi("0" + probe.Stream("video", "height")); }
    size_t Frames() const { return probe.VideoFramePts().size(); }
    bool StrictlyIncreasing() const {
        const auto pts = probe.VideoFramePts();
        for (size_t i = 1; i < pts.size(); ++i) {
            if (pts[i] <= pts[i - 1])
                return false;
        }
        return !pts.empty();
    }

    std::string file;
    Mp4Probe probe;
    std::string warnings;
};

// One picture of a recording in RGB (0xRRGGBB), converted from YUV with the matrix and range the
// stream is tagged with, as a player does: the one shown at `seconds`, or that long before the
// end for a negative time.
class Picture {
  public:
    Picture(const Recording& recording, double seconds)
        : m_width(recording.Width()), m_height(recording.Height()) {
        const std::string range =
            recording.probe.Stream("video", "color_range") == "pc" ? "full" : "limited";
        char position[32];
        std::snprintf(position, sizeof position, seconds < 0 ? "-sseof %.3f" : "-ss %.3f", seconds);
        m_command = std::string("ffmpeg -v error ") + position + " -i '" + recording.file +
                    "' -frames:v 1 -vf scale=in_color_matrix=" +
                    recording.probe.Stream("video", "color_space") + ":in_range=" + range +
                    ":out_range=full,format=rgb24 -f rawvideo -";
        m_rgb = CommandOutput(m_command);
        if (m_rgb.size() != static_cast<size_t>(m_width) * m_height * 3)
            m_rgb.clear();
    }

    bool Decoded() const { return !m_rgb.empty(); }
    const std::string& Command() const { return m_command; }
    uint32_t At(int x, int y) const {
        const auto* p = reinterpret_cast<const uint8_t*>(m_rgb.data()) +
                        (static_cast<size_t>(y) * m_width + x) * 3;
        return p[0] << 16 | p[1] << 8 | p[2];
    }
    // The darkest pixel on the picture's border rows and columns, by its brightest channel.
    int DarkestEdge() const {
        int darkest = 255;
        auto visit = [&](int x, int y) {
            const uint32_t c = At(x, y);
            darkest = std::min<int>(darkest, std::max({c >> 16, c >> 8 & 255, c & 255}));
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

// How far apart two colours are: the largest difference of a channel.
inline int ChannelDistance(uint32_t a, uint32_t b) {
    int distance = 0;
    for (int shift = 0; shift < 24; shift += 8)
        distance = std::max(distance, std::abs(int(a >> shift & 255) - int(b >> shift & 255)));
    return distance;
}

// Fills a rectangle of the screen, the whole of it by default, and waits until it is drawn.
inline void Fill(::Display* display, unsigned long rgb, int x = 0, int y = 0, int width = 0,
                 int height = 0) {
    const int screen = DefaultScreen(display);
    XSetForeground(display, DefaultGC(display, screen), rgb);
    XFillRectangle(display, RootWindow(display, screen), DefaultGC(display, screen), x, y,
                   width ? width : DisplayWidth(display, screen),
                   height ? height : DisplayHeight(display, screen));
    XSync(display, False);
}

// A private X server of the given size, and a connection to draw on it.
class EndToEndTest : public ::testing::Test {
  protected:
    explicit EndToEndTest(const std::string& geometry = "1920x1080x24") : m_server(geometry) {}

    void SetUp() override {
        if (!m_server.Running())
            GTEST_SKIP() << "Xvfb is not available";
        m_painter = XOpenDisplay(m_server.Name().c_str());
        ASSERT_NE(m_painter, nullptr);
    }
    void TearDown() override {
        StopPainting();
        if (m_painter)
            XCloseDisplay(m_painter);
    }

    // Recording through the API on this display, its diagnostics kept off the test's output.
    void UseTheApi() {
        setenv("DISPLAY", m_server.Name().c_str(), 1);
        SetDiagnosticsToStandardError(false);
    }

    std::string Output(const std::string& name) const { return (m_dir.path() / name).string(); }

    // The tool on `display`, this test's by default, reading its keys from `input`; everything it
    // says goes to the file ToolLog reads.
    ChildProcess StartTool(std::vector<std::string> args, const std::string& input = "/dev/null",
                           const std::string& display = "") {
        args.insert(args.begin(), TAMRO_RECORD_TOOL);
        std::filesystem::remove(Output("tool.log"));
        return ChildProcess(args, {"DISPLAY=" + (display.empty() ? m_server.Name() : display)},
                            Output("tool.log"), input);
    }
    std::string ToolLog() const { return ReadFile(Output("tool.log")); }

    // The tool run to its end, or sent `signal` after `interruptAfter`; its exit status.
    int RunTool(const std::vector<std::string>& args, std::string* log = nullptr,
                std::chrono::milliseconds interruptAfter = 0ms, int signal = SIGINT,
                const std::string& display = "") {
        ChildProcess tool = StartTool(args, "/dev/null", display);
        if (interruptAfter > 0ms) {
            std::this_thread::sleep_for(interruptAfter);
            kill(tool.pid(), signal);
        }
        const int status = tool.Wait();
        if (log)
            *log = ToolLog();
        return status;
    }

    // Runs `draw` on a connection of its own about every `period` until stopped.
    void StartPainting(std::chrono::milliseconds period, std::function<void(::Display*)> draw) {
        m_painting = true;
        m_painterThread = std::thread([=, this] {
            ::Display* display = XOpenDisplay(m_server.Name().c_str());
            while (m_painting) {
                draw(display);
                XSync(display, False);
                std::this_thread::sleep_for(period);
            }
            XCloseDisplay(display);
        });
    }
    // The whole screen in a new colour about 60 times a second.
    void StartPainting() {
        StartPainting(16ms, [step = 0u](::Display* display) mutable {
            Fill(display, 0x203040 + step++ * 0x030507);
        });
    }
    void StopPainting() {
        m_painting = false;
        if (m_painterThread.joinable())
            m_painterThread.join();
    }

    // A plain window shown on the private display, and its id as the tool takes it.
    ::Window MapWindow(int x, int y, unsigned width, unsigned height) {
        const ::Window window = XCreateSimpleWindow(m_painter, DefaultRootWindow(m_painter), x, y,
                                                    width, height, 0, 0, 0x336699);
        XMapWindow(m_painter, window);
        XSync(m_painter, False);
        return window;
    }
    static std::string WindowId(::Window window) {
        char id[32];
        std::snprintf(id, sizeof id, "0x%lx", window);
        return id;
    }

    XvfbServer m_server;
    TempDir m_dir;
    ::Display* m_painter = nullptr;
    std::atomic<bool> m_painting{false};
    std::thread m_painterThread;
};

}  // namespace tamro::test
