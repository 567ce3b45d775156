#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/ChildProcess.h"
#include "support/Mp4Probe.h"
#include "support/TempDir.h"
#include "support/XvfbServer.h"
#include "tamro/Diagnostics.h"
#include "tamro/NativeRecorder.h"
// Xlib last: its macros (None, Bool, Status) clash with names in the headers above.
#include <X11/Xlib.h>

namespace tamro {
namespace {

using namespace std::chrono_literals;

// Frame rates mean something only in an optimised build without sanitizers.
#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
constexpr bool kRatesMeasured = false;
#else
constexpr bool kRatesMeasured = true;
#endif

// What ffprobe makes of a recording, and whether it complained while reading all of it.
struct Recording {
    explicit Recording(const std::filesystem::path& file) : probe(file) {
        const std::string command =
            "ffprobe -v warning -show_frames '" + file.string() + "' 2>&1 >/dev/null";
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char line[512];
            while (std::fgets(line, sizeof line, pipe))
                warnings += line;
            ::pclose(pipe);
        }
    }
    double Duration() const { return std::stod("0" + probe.Stream("video", "duration")); }
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

    test::Mp4Probe probe;
    std::string warnings;
};

std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class RecordingEndToEndTest : public ::testing::Test {
  protected:
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

    // The tool, on the private display; its standard error is kept in `log`.
    int RunTool(std::vector<std::string> args, std::string* log = nullptr,
                std::chrono::milliseconds interruptAfter = 0ms) {
        args.insert(args.begin(), TAMRO_RECORD_TOOL);
        const auto logFile = m_dir.path() / "tool.log";
        std::filesystem::remove(logFile);
        test::ChildProcess tool(args, {"DISPLAY=" + m_server.Name()}, logFile.string());
        if (interruptAfter > 0ms) {
            std::this_thread::sleep_for(interruptAfter);
            kill(tool.pid(), SIGINT);
        }
        const int status = tool.Wait();
        if (log)
            *log = ReadFile(logFile);
        return status;
    }

    // Changes the whole screen at about 60 Hz until stopped.
    void StartPainting() {
        m_painting = true;
        m_painterThread = std::thread([this] {
            ::Display* display = XOpenDisplay(m_server.Name().c_str());
            GC gc = XCreateGC(display, DefaultRootWindow(display), 0, nullptr);
            for (unsigned step = 0; m_painting; ++step) {
                XSetForeground(display, gc, 0x203040 + step * 0x030507);
                XFillRectangle(display, DefaultRootWindow(display), gc, 0, 0, 1920, 1080);
                XSync(display, False);
                std::this_thread::sleep_for(16ms);
            }
            XFreeGC(display, gc);
            XCloseDisplay(display);
        });
    }
    void StopPainting() {
        m_painting = false;
        if (m_painterThread.joinable())
            m_painterThread.join();
    }

    std::string Output(const std::string& name) const { return (m_dir.path() / name).string(); }

    test::XvfbServer m_server;
    test::TempDir m_dir;
    ::Display* m_painter = nullptr;
    std::atomic<bool> m_painting{false};
    std::thread m_painterThread;
};

TEST_F(RecordingEndToEndTest, ChangingAndIdleScreensGiveFiveSecondsAtThirtyFps) {
    for (const bool changing : {true, false}) {
        SCOPED_TRACE(changing ? "changing screen" : "idle screen");
        if (changing)
            StartPainting();
        const std::string file = Output(changing ? "changing.mp4" : "idle.mp4");
        std::string log;
        ASSERT_EQ(RunTool({"--seconds", "5", "--output", file}, &log), 0) << log;
        StopPainting();
        const Recording recording(file);
        ASSERT_TRUE(recording.probe.Opened());
        EXPECT_NEAR(recording.Duration(), 5.0, 0.2);
        if (kRatesMeasured) {
            EXPECT_NEAR(static_cast<double>(recording.Frames()) / recording.Duration(), 30.0, 1.0);
        }
        EXPECT_TRUE(recording.StrictlyIncreasing());
        EXPECT_EQ(recording.warnings, "");
        EXPECT_NE(log.find("Recording to " + file), std::string::npos) << log;
        EXPECT_NE(log.find("  00:04 "), std::string::npos) << "a progress line each second";
    }
}

TEST_F(RecordingEndToEndTest, RegionAndWindowRecordingsHaveTheirSizes) {
    const std::string region = Output("region.mp4");
    ASSERT_EQ(RunTool({"--seconds", "1", "--region", "100,50,640,352", "--output", region}), 0);
    EXPECT_EQ(Recording(region).Width(), 640);
    EXPECT_EQ(Recording(region).Height(), 352);

    const ::Window window = XCreateSimpleWindow(m_painter, DefaultRootWindow(m_painter), 300, 200,
                                                800, 608, 0, 0, 0x336699);
    XMapWindow(m_painter, window);
    XSync(m_painter, False);
    char id[32];
    std::snprintf(id, sizeof id, "0x%lx", window);
    const std::string windowFile = Output("window.mp4");
    std::string log;
    ASSERT_EQ(RunTool({"--seconds", "1", "--window", id, "--output", windowFile}, &log), 0) << log;
    const Recording recording(windowFile);
    EXPECT_EQ(recording.Width(), 800);
    EXPECT_EQ(recording.Height(), 608);
    EXPECT_GT(recording.Frames(), 20u);
}

TEST_F(RecordingEndToEndTest, BadInputGivesOneLineAndNoFile) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::string missing = Output("missing/out.mp4");
    const Case cases[] = {
        {{"--frobnicate"}, 2, "tamro-record: unknown option '--frobnicate'"},
        {{"--seconds", "0"}, 2, "--seconds needs a positive number"},
        {{"--size", "-640x480"}, 2, "--size needs WIDTHxHEIGHT"},
        {{"--seconds", "1", "--output", missing}, 1, "does not exist"},
        {{"--seconds", "1", "--window", "0x7ffff0", "--output", Output("w.mp4")},
         1,
         "no window with id 0x7ffff0"},
        {{"--seconds", "1", "--output", Output("no-extension")}, 1, "tamro-record: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args.back());
        std::string log;
        EXPECT_EQ(RunTool(c.args, &log), c.status);
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
        EXPECT_FALSE(std::filesystem::exists(missing));
        EXPECT_FALSE(std::filesystem::exists(Output("w.mp4")));
        EXPECT_FALSE(std::filesystem::exists(Output("no-extension")));
    }
}

TEST_F(RecordingEndToEndTest, InterruptAtOnceEndsCleanlyWithAReadableFile) {
    for (const auto after : {30ms, 100ms, 700ms}) {
        const std::string file = Output("interrupted-" + std::to_string(after.count()) + ".mp4");
        std::string log;
        const int status = RunTool({"--output", file}, &log, after);
        // A signal before the tool has set itself up ends it as any program (-1, no file);
        // later ones stop the recording: a readable file, or a clear error.
        if (status == -1)
            EXPECT_FALSE(std::filesystem::exists(file)) << after.count() << " ms";
        else
            EXPECT_TRUE(status == 0 || status == 1) << log;
        if (std::filesystem::exists(file)) {
            const Recording recording(file);
            EXPECT_TRUE(recording.probe.Opened()) << after.count() << " ms\n" << log;
        }
    }
}

// Through the API: pausing takes the paused time out of the file, and progress comes each second.
TEST_F(RecordingEndToEndTest, PauseShortensTheFileAndProgressArrivesEachSecond) {
    setenv("DISPLAY", m_server.Name().c_str(), 1);
    SetDiagnosticsToStandardError(false);
    const auto recorder = NativeRecorder::Create();
    std::atomic<int> progress{0};
    recorder->ProgressUpdated(
        [&](NativeRecorder&, const std::shared_ptr<RecordingProgress>&) { ++progress; });
    RecordingConfig config;
    config.OutputPath(Output("paused.mp4"));
    config.Width(0);
    config.Height(0);
    config.CaptureMicrophone(false);
    config.CaptureSystemAudio(false);
    StartPainting();
    ASSERT_TRUE(recorder->StartAsync(config)->Get());
    std::this_thread::sleep_for(1500ms);
    recorder->Pause();
    std::this_thread::sleep_for(2000ms);
    recorder->Resume();
    while (recorder->ElapsedSeconds() < 5.1)
        std::this_thread::sleep_for(10ms);
    recorder->Stop();
    StopPainting();
    EXPECT_EQ(progress.load(), 7) << "one a second for 7 s, pauses included";
    const Recording recording(Output("paused.mp4"));
    EXPECT_NEAR(recording.Duration(), 5.1, 0.2) << "7.1 s of recording less the 2 s pause";
    EXPECT_TRUE(recording.StrictlyIncreasing());
    EXPECT_EQ(recording.warnings, "");
}

}  // namespace
}  // namespace tamro
