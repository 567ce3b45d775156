#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "support/ChildProcess.h"
#include "support/Mp4Probe.h"
#include "support/PrivatePulseServer.h"
#include "support/PulseBeeper.h"
#include "support/TempDir.h"
#include "support/Tone.h"
#include "support/XvfbServer.h"
#include "tamro/Diagnostics.h"
#include "tamro/NativeRecorder.h"
// Xlib last: its macros (None, Bool, Status) clash with names in the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

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

    test::Mp4Probe probe;
    std::string warnings;
};

std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Seconds from a "num/den" time base and a count of its units.
double Seconds(const std::string& timeBase, long long units) {
    const size_t slash = timeBase.find('/');
    if (slash == std::string::npos)
        return 0.0;
    return static_cast<double>(units) * std::stod(timeBase.substr(0, slash)) /
           std::stod(timeBase.substr(slash + 1));
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
                std::chrono::milliseconds interruptAfter = 0ms, int signal = SIGINT,
                const std::string& display = "") {
        args.insert(args.begin(), TAMRO_RECORD_TOOL);
        const auto logFile = m_dir.path() / "tool.log";
        std::filesystem::remove(logFile);
        test::ChildProcess tool(args, {"DISPLAY=" + (display.empty() ? m_server.Name() : display)},
                                logFile.string());
        if (interruptAfter > 0ms) {
            std::this_thread::sleep_for(interruptAfter);
            kill(tool.pid(), signal);
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
    // Covers part of the screen with fresh noise about 30 times a second until stopped: pictures
    // that no encoder can make small.
    void StartPaintingNoise() {
        m_painting = true;
        m_painterThread = std::thread([this] {
            constexpr int kWidth = 640;
            constexpr int kHeight = 360;
            ::Display* display = XOpenDisplay(m_server.Name().c_str());
            const int screen = DefaultScreen(display);
            GC gc = XCreateGC(display, DefaultRootWindow(display), 0, nullptr);
            std::vector<uint32_t> pixels(kWidth * kHeight);
            XImage* image =
                XCreateImage(display, DefaultVisual(display, screen), 24, ZPixmap, 0,
                             reinterpret_cast<char*>(pixels.data()), kWidth, kHeight, 32, 0);
            uint32_t state = 12345;
            while (m_painting) {
                for (uint32_t& pixel : pixels) {
                    state = state * 1664525u + 1013904223u;
                    pixel = state >> 8;
                }
                XPutImage(display, DefaultRootWindow(display), gc, image, 0, 0, 0, 0, kWidth,
                          kHeight);
                XSync(display, False);
                std::this_thread::sleep_for(33ms);
            }
            image->data = nullptr;  // the pixels are the vector's
            XDestroyImage(image);
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

    // A plain window shown on the private display.
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

// The file is constant frame rate at the rate asked for: frame k at exactly k / fps.
TEST_F(RecordingEndToEndTest, FrameRatesGiveOneFrameInEverySlot) {
    StartPainting();
    for (const int fps : {10, 30, 60}) {
        SCOPED_TRACE(fps);
        const std::string file = Output("fps" + std::to_string(fps) + ".mp4");
        std::string log;
        ASSERT_EQ(RunTool({"--seconds", "5", "--fps", std::to_string(fps), "--no-mic",
                           "--no-system-audio", "--output", file},
                          &log),
                  0)
            << log;
        const Recording recording(file);
        EXPECT_EQ(recording.probe.Stream("video", "r_frame_rate"), std::to_string(fps) + "/1");
        const auto pts = recording.probe.VideoFramePts();
        if (kRatesMeasured) {
            EXPECT_NEAR(static_cast<double>(pts.size()), 5.0 * fps, 1.0);
        }
        const std::string timeBase = recording.probe.Stream("video", "time_base");
        for (size_t k = 0; k < pts.size(); ++k)
            ASSERT_NEAR(Seconds(timeBase, pts[k]), static_cast<double>(k) / fps, 1e-6) << k;
        EXPECT_EQ(recording.warnings, "");
    }
}

TEST_F(RecordingEndToEndTest, RegionAndWindowRecordingsHaveTheirSizes) {
    const std::string region = Output("region.mp4");
    ASSERT_EQ(RunTool({"--seconds", "1", "--region", "100,50,640,352", "--output", region}), 0);
    EXPECT_EQ(Recording(region).Width(), 640);
    EXPECT_EQ(Recording(region).Height(), 352);

    const ::Window window = MapWindow(300, 200, 800, 608);
    const std::string id = WindowId(window);
    const std::string windowFile = Output("window.mp4");
    std::string log;
    ASSERT_EQ(RunTool({"--seconds", "1", "--window", id, "--output", windowFile}, &log), 0) << log;
    const Recording recording(windowFile);
    EXPECT_EQ(recording.Width(), 800);
    EXPECT_EQ(recording.Height(), 608);
    EXPECT_GT(recording.Frames(), 20u);
}

TEST_F(RecordingEndToEndTest, RegionOffTheMonitorIsRefusedAndOnePartlyOffIsClamped) {
    const std::string outside = Output("outside.mp4");
    std::string log;
    for (const char* option : {"--seconds", "--prepare"}) {
        SCOPED_TRACE(option);
        std::vector<std::string> args{"--seconds",      "1",        "--region",
                                      "1900,0,400,300", "--output", outside};
        if (std::string(option) == "--prepare")
            args.push_back("--prepare");
        EXPECT_EQ(RunTool(args, &log), 1);
        EXPECT_NE(log.find("tamro-record: Region 1900,0 400x300 has only 20x300 on monitor 0,0 "
                           "1920x1080"),
                  std::string::npos)
            << log;
        EXPECT_FALSE(std::filesystem::exists(outside));
    }

    const std::string clamped = Output("clamped.mp4");
    ASSERT_EQ(
        RunTool({"--seconds", "1", "--region", "1600,-100,401,500", "--output", clamped}, &log), 0)
        << log;
    EXPECT_EQ(Recording(clamped).Width(), 320);
    EXPECT_EQ(Recording(clamped).Height(), 400);
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

// Nothing is lost by accident: an existing file is kept byte for byte unless replacing it was
// asked for, a closed terminal finalises the recording, and a display that cannot be opened is
// an error rather than a recording of something else.
TEST_F(RecordingEndToEndTest, ExistingFilesHangUpsAndMissingDisplaysLoseNothing) {
    const std::string file = Output("kept.mp4");
    {
        std::ofstream out(file, std::ios::binary);
        out << "precious";
    }
    std::string log;
    EXPECT_EQ(RunTool({"--seconds", "1", "--output", file}, &log), 1);
    EXPECT_NE(log.find(file + " exists; -y or --overwrite replaces it"), std::string::npos) << log;
    EXPECT_EQ(ReadFile(file), "precious");

    EXPECT_EQ(
        RunTool({"--no-mic", "--no-system-audio", "-y", "--output", file}, &log, 3000ms, SIGHUP), 0)
        << log;
    const Recording recording(file);
    // The recording starts some way into the 3 s, longer under the sanitizers.
    if (kRatesMeasured) {
        EXPECT_NEAR(recording.Duration(), 3.0, 0.5);
    } else {
        EXPECT_GT(recording.Duration(), 1.0);
    }
    EXPECT_EQ(recording.warnings, "");

    const std::string elsewhere = Output("no-display.mp4");
    EXPECT_EQ(RunTool({"--seconds", "1", "--output", elsewhere}, &log, 0ms, SIGINT, ":79"), 1);
    EXPECT_NE(log.find("cannot open display :79"), std::string::npos) << log;
    EXPECT_FALSE(std::filesystem::exists(elsewhere));
}

// A small file system mounted for one test, unmounted with it.
class SmallFileSystem {
  public:
    SmallFileSystem(std::filesystem::path where, const char* size) : m_where(std::move(where)) {
        std::filesystem::create_directories(m_where);
        const std::string options = std::string("size=") + size;
        m_mounted =
            geteuid() == 0 && mount("tmpfs", m_where.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallFileSystem() {
        if (m_mounted)
            umount2(m_where.c_str(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;
    bool Mounted() const { return m_mounted; }

  private:
    std::filesystem::path m_where;
    bool m_mounted = false;
};

// A disk that fills mid-recording ends it at once with the cause; the file plays up to there.
TEST_F(RecordingEndToEndTest, AFullDiskEndsTheRecordingWithItsCauseAndAPlayableFile) {
    const SmallFileSystem disk(m_dir.path() / "small", "1m");
    if (!disk.Mounted())
        GTEST_SKIP() << "a small file system cannot be mounted here";
    StartPaintingNoise();
    const std::string file = (m_dir.path() / "small" / "full.mp4").string();
    std::string log;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(RunTool({"--no-mic", "--no-system-audio", "--seconds", "60", "--output", file}, &log),
              1);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 30s) << log;
    StopPainting();
    EXPECT_NE(log.find("only 1 MB free where the file goes"), std::string::npos) << log;
    EXPECT_NE(log.find("tamro-record: Writing the file failed (disk full): the recording stopped"),
              std::string::npos)
        << log;
    const Recording recording(file);
    ASSERT_TRUE(recording.probe.Opened()) << log;
    EXPECT_GT(recording.Frames(), 5u);
    EXPECT_EQ(recording.warnings, "");
}

// A recorded window that is closed ends the recording as the user meant it (exit 0, said); a
// display that dies ends it with an error (exit 1). Both keep a whole file of what was recorded.
TEST_F(RecordingEndToEndTest, AClosedWindowOrALostDisplayEndsTheRecordingWithItsText) {
    const ::Window window = MapWindow(100, 100, 640, 360);
    const std::string id = WindowId(window);
    const std::string closed = Output("closed.mp4");
    const auto closedLog = Output("closed.log");
    test::ChildProcess tool(
        {TAMRO_RECORD_TOOL, "--no-mic", "--no-system-audio", "--window", id, "-o", closed},
        {"DISPLAY=" + m_server.Name()}, closedLog);
    std::this_thread::sleep_for(3s);
    XDestroyWindow(m_painter, window);
    XSync(m_painter, False);
    EXPECT_EQ(tool.Wait(), 0) << ReadFile(closedLog);
    EXPECT_NE(ReadFile(closedLog).find("tamro-record: the recorded window was closed"),
              std::string::npos)
        << ReadFile(closedLog);
    EXPECT_GT(Recording(closed).Duration(), 1.0);
    EXPECT_EQ(Recording(closed).warnings, "");

    test::XvfbServer doomed("1280x720x24");
    ASSERT_TRUE(doomed.Running());
    const std::string lost = Output("lost-display.mp4");
    std::string log;
    std::thread killer([&] {
        std::this_thread::sleep_for(3s);
        doomed.Kill();
    });
    EXPECT_EQ(RunTool({"--no-mic", "--no-system-audio", "--seconds", "20", "--output", lost}, &log,
                      0ms, SIGINT, doomed.Name()),
              1);
    killer.join();
    EXPECT_NE(log.find("tamro-record: display connection lost"), std::string::npos) << log;
    const Recording recording(lost);
    ASSERT_TRUE(recording.probe.Opened()) << log;
    EXPECT_GT(recording.Duration(), 1.0);
    EXPECT_LT(recording.Duration(), 4.5);
    EXPECT_EQ(recording.warnings, "");
}

// What the writer or the encoder would fail on later is refused before anything is recorded, in
// one line that names the reason.
TEST_F(RecordingEndToEndTest, OutputsSizesAndMonitorsAreCheckedUpFront) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string said;
    };
    const std::string longName = Output(std::string(300, 'a') + ".mp4");
    const Case cases[] = {
        {{"-o", Output("x.mkv")}, 1, "the output is an MP4 file: name it .mp4"},
        {{"-o", Output("x")}, 1, "the output is an MP4 file: name it .mp4"},
        {{"-y", "-o", "/dev/full"}, 1, "/dev/full is not a regular file"},
        {{"-o", longName}, 1, "the file name is longer than the system allows (255 bytes)"},
        {{"-o", Output("none/x.mp4")}, 1, "the folder " + Output("none") + " does not exist"},
        {{"--size", "20000x20000"}, 2, "--size needs WIDTHxHEIGHT, each from 2 to 8192"},
        {{"--size", "2147483648x2147483648"}, 2, "--size needs WIDTHxHEIGHT"},
        {{"--monitor", "HDMI-9"}, 1, "no monitor named 'HDMI-9' (see --list)"},
        {{"--window-audio-only"}, 2, "--window-audio-only needs --window"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-t", "1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string log;
        EXPECT_EQ(RunTool(args, &log), c.status) << c.said;
        EXPECT_NE(log.find("tamro-record: " + c.said), std::string::npos) << log;
        EXPECT_EQ(log.find("Recording to"), std::string::npos) << log;
    }
    EXPECT_FALSE(std::filesystem::exists(Output("x.mkv")));

    // A monitor by its output name records it.
    const std::string file = Output("named.mp4");
    std::string log;
    ASSERT_EQ(
        RunTool({"-t", "1", "--monitor", "screen", "--no-mic", "--no-system-audio", "-o", file},
                &log),
        0)
        << log;
    EXPECT_EQ(Recording(file).Width(), 1920);
}

// Space pauses and resumes, q stops, from a pipe as from a terminal; the paused time is not in the
// file.
TEST_F(RecordingEndToEndTest, KeysPauseResumeAndStop) {
    const std::string fifo = Output("keys");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Opened for writing first, so that the tool's open does not wait for a writer.
    const int keys = open(fifo.c_str(), O_RDWR);
    ASSERT_GE(keys, 0);
    const std::string file = Output("keys.mp4");
    const auto logFile = Output("keys.log");
    test::ChildProcess tool({TAMRO_RECORD_TOOL, "--no-mic", "--no-system-audio", "-o", file},
                            {"DISPLAY=" + m_server.Name()}, logFile, fifo);
    const auto send = [&](auto after, const char* key) {
        std::this_thread::sleep_for(after);
        ASSERT_EQ(write(keys, key, 2), 2);
    };
    send(1500ms, " \n");
    send(1500ms, " \n");
    send(1000ms, "q\n");
    EXPECT_EQ(tool.Wait(), 0) << ReadFile(logFile);
    close(keys);
    const std::string log = ReadFile(logFile);
    EXPECT_NE(log.find("Paused; space resumes"), std::string::npos) << log;
    EXPECT_NE(log.find("Resumed"), std::string::npos) << log;
    // Up to 4 s of the tool's life, less the 1.5 s pause and its start-up.
    const double seconds = Recording(file).Duration();
    EXPECT_GT(seconds, 1.0) << log;
    EXPECT_LT(seconds, 2.6) << log;
}

// The encoder settings of the command line are in the file.
TEST_F(RecordingEndToEndTest, EncoderOptionsReachTheFile) {
    const std::string file = Output("options.mp4");
    std::string log;
    ASSERT_EQ(RunTool({"--synthetic", "-t", "4", "--profile", "high", "--bframes", "2",
                       "--keyframe-interval", "2", "--audio-bitrate", "96000", "-o", file},
                      &log),
              0)
        << log;
    const Recording recording(file);
    EXPECT_EQ(recording.probe.Stream("video", "profile"), "High");
    EXPECT_EQ(recording.probe.Stream("video", "has_b_frames"), "2");
    const std::vector<long long> keys = recording.probe.VideoKeyFrames();
    ASSERT_GE(keys.size(), 2u);
    EXPECT_EQ(keys[1] - keys[0], 60) << "a key frame every 2 s at 30 fps";
    // The encoder spends less than asked on the sparse synthetic sound, far less than the default.
    EXPECT_LT(std::stod("0" + recording.probe.Stream("audio", "bit_rate")), 100'000);
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

TEST_F(RecordingEndToEndTest, PreparedToolStartsAfterItsDelayOrStopsCleanly) {
    const std::string file = Output("prepared.mp4");
    std::string log;
    ASSERT_EQ(
        RunTool({"--prepare", "--start-after", "300", "--seconds", "1.5", "--output", file}, &log),
        0)
        << log;
    EXPECT_NE(log.find("Ready; starting in 300 ms"), std::string::npos) << log;
    EXPECT_NEAR(Recording(file).Duration(), 1.5, 0.2);

    const std::string never = Output("never.mp4");
    EXPECT_EQ(RunTool({"--prepare", "--start-after", "5000", "--output", never}, &log, 1500ms), 1);
    EXPECT_NE(log.find("nothing was recorded"), std::string::npos) << log;
    EXPECT_FALSE(std::filesystem::exists(never)) << "a discarded preparation leaves no file";
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
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1500ms);
    recorder->Pause();
    std::this_thread::sleep_for(2000ms);
    recorder->Resume();
    std::this_thread::sleep_until(started + 7050ms);
    const double elapsed = recorder->ElapsedSeconds();
    recorder->Stop();
    StopPainting();
    EXPECT_EQ(progress.load(), 7) << "one a second for 7 s, pauses included";
    EXPECT_NEAR(elapsed, 5.05, 0.2) << "7.05 s less the 2 s pause";
    const Recording recording(Output("paused.mp4"));
    EXPECT_NEAR(recording.Duration(), elapsed, 0.2);
    EXPECT_TRUE(recording.StrictlyIncreasing());
    EXPECT_EQ(recording.warnings, "");
}

// Everything ffmpeg's command writes to its standard output.
std::vector<uint8_t> CommandOutput(const std::string& command) {
    std::vector<uint8_t> bytes;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        uint8_t buffer[65536];
        for (size_t read; (read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            bytes.insert(bytes.end(), buffer, buffer + read);
        ::pclose(pipe);
    }
    return bytes;
}

// When the recording's picture turns white, in seconds on the file's timeline.
std::vector<double> FlashTimes(const std::filesystem::path& file, const test::Mp4Probe& probe) {
    const std::vector<uint8_t> luma =
        CommandOutput("ffmpeg -v error -i '" + file.string() +
                      "' -map 0:v -vf scale=4:4,format=gray -fps_mode passthrough -enc_time_base "
                      "-1 -f rawvideo -");
    const std::vector<long long> pts = probe.VideoFramePts();
    const std::string timeBase = probe.Stream("video", "time_base");
    std::vector<double> flashes;
    bool white = false;
    for (size_t frame = 0; frame < pts.size() && (frame + 1) * 16 <= luma.size(); ++frame) {
        const bool bright = luma[frame * 16 + 5] > 200;
        if (bright && !white)
            flashes.push_back(Seconds(timeBase, pts[frame]));
        white = bright;
    }
    return flashes;
}

// When each beep starts, in seconds on the file's timeline: the first millisecond loud enough
// after at least half a second of quiet.
std::vector<double> BeepTimes(const std::filesystem::path& file, const test::Mp4Probe& probe) {
    const std::vector<uint8_t> bytes = CommandOutput("ffmpeg -v error -i '" + file.string() +
                                                     "' -map 0:a -ac 1 -ar 48000 -f s16le -");
    const auto* samples = reinterpret_cast<const int16_t*>(bytes.data());
    const size_t count = bytes.size() / 2;
    const double start = std::stod("0" + probe.Stream("audio", "start_time"));
    std::vector<double> beeps;
    size_t quietWindows = 500;
    for (size_t at = 0; at + 48 <= count; at += 48) {
        double sum = 0.0;
        for (size_t i = at; i < at + 48; ++i)
            sum += std::abs(samples[i]) / 32768.0;
        const bool loud = sum / 48 > 0.05;
        if (loud && quietWindows >= 500)
            beeps.push_back(start + static_cast<double>(at) / 48000.0);
        quietWindows = loud ? 0 : quietWindows + 1;
    }
    return beeps;
}

// Two processes that keep both cores busy at normal priority, as a game or a video call does.
class BusyMachine {
  public:
    BusyMachine() {
        for (auto& process : m_processes)
            process = std::make_unique<test::ChildProcess>(std::vector<std::string>{"yes"});
    }

  private:
    std::unique_ptr<test::ChildProcess> m_processes[2];
};

// Flashes the whole screen white for 100 ms at each of `instants`, drawn when due.
class Flasher {
  public:
    Flasher(const std::string& display, std::vector<std::chrono::steady_clock::time_point> instants)
        : m_thread([=, this] { Run(display, instants); }) {}
    ~Flasher() { m_thread.join(); }

  private:
    static void Run(const std::string& name,
                    const std::vector<std::chrono::steady_clock::time_point>& instants) {
        ::Display* display = XOpenDisplay(name.c_str());
        GC gc = XCreateGC(display, DefaultRootWindow(display), 0, nullptr);
        // The server's first fill of the screen is slow, 30 to 70 ms, while it first touches its
        // framebuffer's pages; a grey fill, too dark to count as a flash, takes that cost early.
        for (const unsigned long colour : {0x808080UL, 0UL})
            Fill(display, gc, colour);
        for (const auto at : instants) {
            std::this_thread::sleep_until(at);
            Fill(display, gc, 0xffffffUL);
            std::this_thread::sleep_until(at + 100ms);
            Fill(display, gc, 0UL);
        }
        XFreeGC(display, gc);
        XCloseDisplay(display);
    }
    static void Fill(::Display* display, GC gc, unsigned long colour) {
        XSetForeground(display, gc, colour);
        XFillRectangle(display, DefaultRootWindow(display), gc, 0, 0, 1920, 1080);
        XSync(display, False);
    }

    std::thread m_thread;
};

// With both cores busy, a flash at every whole second of the recording lands in the file at its
// second: pictures are dropped or repeated when the machine cannot keep up, never delayed.
TEST_F(RecordingEndToEndTest, FlashesUnderLoadLandOnTheirInstants) {
    setenv("DISPLAY", m_server.Name().c_str(), 1);
    SetDiagnosticsToStandardError(false);
    const BusyMachine load;
    const auto recorder = NativeRecorder::Create();
    RecordingConfig config;
    const std::string file = Output("flashes-under-load.mp4");
    config.OutputPath(file);
    config.CaptureMicrophone(false);
    config.CaptureSystemAudio(false);
    ASSERT_TRUE(recorder->StartAsync(config)->Get());
    const std::chrono::steady_clock::time_point origin(
        std::chrono::nanoseconds(recorder->SessionStartTime() * 100));
    constexpr int kFlashes = 19;
    std::vector<std::chrono::steady_clock::time_point> instants;
    for (int i = 1; i <= kFlashes; ++i)
        instants.push_back(origin + std::chrono::seconds(i));
    std::optional<Flasher> flasher(std::in_place, m_server.Name(), instants);
    flasher.reset();
    std::this_thread::sleep_until(origin + 20s);
    recorder->Stop();

    const test::Mp4Probe probe(file);
    EXPECT_NEAR(static_cast<double>(probe.VideoFramePts().size()), 600.0, 3.0);
    const std::vector<double> flashes = FlashTimes(file, probe);
    ASSERT_EQ(flashes.size(), static_cast<size_t>(kFlashes));
    double worst = 0.0;
    for (int i = 0; i < kFlashes; ++i) {
        EXPECT_NEAR(flashes[i], i + 1.0, 0.040) << "flash " << i + 1;
        worst = std::max(worst, std::abs(flashes[i] - (i + 1.0)));
    }
    std::printf("Flashes under load: worst %.1f ms off their instants\n", worst * 1000);
}

class AudioEndToEndTest : public RecordingEndToEndTest {
  protected:
    void SetUp() override {
        RecordingEndToEndTest::SetUp();
        if (IsSkipped())
            return;
        if (!test::ProgramInstalled("pulseaudio") || !test::ProgramInstalled("pacat") ||
            !test::ProgramInstalled("paplay"))
            GTEST_SKIP() << "PulseAudio is not installed";
        m_pulse = std::make_unique<test::PrivatePulseServer>(Sink());
        ASSERT_TRUE(m_pulse->Ready()) << m_pulse->Log();
    }
    void TearDown() override {
        m_player.reset();
        m_pulse.reset();
        RecordingEndToEndTest::TearDown();
    }

    void FlashAndBeep(int seconds, bool loaded);
    virtual test::PrivatePulseServer::Sink Sink() const {
        return test::PrivatePulseServer::Sink::kWithoutRewinds;
    }

    // Plays a tone into the default sink for the given time.
    void PlayTone(double seconds) {
        const auto wav = m_dir.path() / "tone.wav";
        test::WriteToneWav(wav, 440.0, 48000, 2, seconds);
        m_player = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{"paplay", "--server=" + m_pulse->server(), wav.string()});
    }

    std::unique_ptr<test::PrivatePulseServer> m_pulse;
    std::unique_ptr<test::ChildProcess> m_player;
};

TEST_F(AudioEndToEndTest, AudioLastsAsLongAsTheVideoAndGoesWithTheFlags) {
    PlayTone(8.0);
    const std::string withAudio = Output("with-audio.mp4");
    std::string log;
    ASSERT_EQ(RunTool({"--seconds", "5", "--output", withAudio}, &log), 0) << log;
    const Recording recording(withAudio);
    ASSERT_EQ(recording.probe.StreamCount("audio"), 1) << log;
    EXPECT_EQ(recording.probe.Stream("audio", "codec_name"), "aac");
    EXPECT_EQ(recording.probe.Stream("audio", "sample_rate"), "48000");
    EXPECT_NEAR(recording.End("audio"), recording.End("video"), 0.05);
    EXPECT_EQ(recording.warnings, "");

    const std::string silent = Output("no-audio.mp4");
    ASSERT_EQ(RunTool({"--seconds", "2", "--no-mic", "--no-system-audio", "--output", silent}), 0);
    EXPECT_EQ(Recording(silent).probe.StreamCount("audio"), 0);
}

// A recorder killed outright keeps all but its last moments; a stopped one leaves a regular file
// with one index, ahead of the media data.
TEST_F(AudioEndToEndTest, AKilledRecorderLeavesAPlayableFileAndAStoppedOneAnIndexInFront) {
    PlayTone(20.0);
    const std::string killed = Output("killed.mp4");
    const auto logFile = Output("killed.log");
    test::ChildProcess tool({TAMRO_RECORD_TOOL, "--output", killed}, {"DISPLAY=" + m_server.Name()},
                            logFile);
    // Killed ten seconds into the recording, counted from its first progress line.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ReadFile(logFile).find("00:01") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(9s);
    kill(tool.pid(), SIGKILL);
    EXPECT_EQ(tool.Wait(), -1);
    std::string log = ReadFile(logFile);
    const Recording afterKill(killed);
    ASSERT_TRUE(afterKill.probe.Opened()) << log;
    EXPECT_GE(afterKill.End("video"), 9.0);
    EXPECT_GE(afterKill.End("audio"), 9.0);
    EXPECT_GT(afterKill.Frames(), 270u);

    const std::string stopped = Output("stopped.mp4");
    ASSERT_EQ(RunTool({"--seconds", "3", "--output", stopped}, &log), 0) << log;
    const std::vector<std::string> boxes = test::Mp4Probe::TopLevelBoxes(stopped);
    ASSERT_GE(boxes.size(), 3u);
    EXPECT_EQ(boxes[0], "ftyp");
    EXPECT_EQ(boxes[1], "moov");
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moov"), 1);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), 0);
    EXPECT_NEAR(Recording(stopped).End("audio"), 3.0, 0.1);
    EXPECT_FALSE(std::filesystem::exists(stopped + ".part"));
}

TEST_F(AudioEndToEndTest, PauseLeavesNoGapOrOverlapInTheAudio) {
    setenv("DISPLAY", m_server.Name().c_str(), 1);
    SetDiagnosticsToStandardError(false);
    PlayTone(10.0);
    const auto recorder = NativeRecorder::Create();
    RecordingConfig config;
    config.OutputPath(Output("paused-audio.mp4"));
    config.Width(0);
    config.Height(0);
    ASSERT_TRUE(recorder->StartAsync(config)->Get());
    std::this_thread::sleep_for(1500ms);
    recorder->Pause();
    std::this_thread::sleep_for(2000ms);
    recorder->Resume();
    while (recorder->ElapsedSeconds() < 4.0)
        std::this_thread::sleep_for(10ms);
    recorder->Stop();
    const Recording recording(Output("paused-audio.mp4"));
    EXPECT_NEAR(recording.Duration(), 4.0, 0.2);
    EXPECT_NEAR(recording.End("audio"), recording.End("video"), 0.05)
        << "the pause left audio behind";
    const std::vector<long long> pts = recording.probe.AudioFramePts();
    const std::vector<long long> durations = recording.probe.AudioFrameDurations();
    ASSERT_GT(pts.size(), 100u);
    for (size_t i = 1; i < pts.size(); ++i)
        ASSERT_EQ(pts[i] - pts[i - 1], durations[i - 1]) << "audio frame " << i;
}

// Where the sound first reaches a tenth of full scale, at or after `from`, in seconds on the file's
// timeline; -1 when it never does.
double SoundStart(const std::filesystem::path& file, double from = 0.0) {
    const test::Mp4Probe probe(file);
    const std::vector<uint8_t> bytes = CommandOutput("ffmpeg -v error -i '" + file.string() +
                                                     "' -map 0:a -ac 1 -ar 48000 -f s16le -");
    const auto* samples = reinterpret_cast<const int16_t*>(bytes.data());
    const double start = std::stod("0" + probe.Stream("audio", "start_time"));
    for (size_t i = static_cast<size_t>(std::max(0.0, from - start) * 48000); i < bytes.size() / 2;
         ++i) {
        if (std::abs(samples[i]) > 3277)
            return start + i / 48000.0;
    }
    return -1.0;
}

// A tone that was already playing when the recording began is in the file from its first
// instant, whichever source hears it.
class SoundFromTheStartTest : public AudioEndToEndTest {
  protected:
    // The sink renders up to 2 s ahead for a player at its default latency and hands a new
    // monitor stream nothing until that is played out: what a user's null sink does.
    test::PrivatePulseServer::Sink Sink() const override {
        return test::PrivatePulseServer::Sink::kAsUsersHaveIt;
    }
    // A fresh server's null sink takes up to 2 s to feed a new stream, so the recording starts
    // once that has passed.
    void PlayToneBeforeRecording() {
        PlayTone(10.0);
        std::this_thread::sleep_for(2500ms);
    }
    void ExpectToneFromTheStart(const std::vector<std::string>& sourceArgs) {
        const std::string file = Output("tone.mp4");
        std::vector<std::string> args = {"--seconds", "2", "--verbose", "--output", file};
        args.insert(args.end(), sourceArgs.begin(), sourceArgs.end());
        std::string log;
        ASSERT_EQ(RunTool(args, &log), 0) << log;
        const double start = SoundStart(file);
        EXPECT_GE(start, 0.0) << "no tone in the file";
        EXPECT_LT(start, 0.050) << "the tone starts late";
        EXPECT_EQ(log.find("falling back"), std::string::npos) << log;
    }
};

TEST_F(SoundFromTheStartTest, SystemAudio) {
    PlayToneBeforeRecording();
    ExpectToneFromTheStart({"--no-mic"});
}

TEST_F(SoundFromTheStartTest, MicrophoneFedByAPlayer) {
    PlayToneBeforeRecording();
    ExpectToneFromTheStart(
        {"--no-system-audio", "--mic", std::string(test::PrivatePulseServer::kSink) + ".monitor"});
}

// The window's process is the player itself, so only its stream is recorded.
TEST_F(SoundFromTheStartTest, WindowProcessAudio) {
    PlayToneBeforeRecording();
    const ::Window window = XCreateSimpleWindow(m_painter, DefaultRootWindow(m_painter), 100, 100,
                                                640, 352, 0, 0, 0x336699);
    const long pid = m_player->pid();
    XChangeProperty(m_painter, window, XInternAtom(m_painter, "_NET_WM_PID", False), XA_CARDINAL,
                    32, PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
    XMapWindow(m_painter, window);
    XSync(m_painter, False);
    ExpectToneFromTheStart({"--no-mic", "--window", WindowId(window), "--window-audio-only"});
}

// What cannot be heard is said once, without --verbose; sound that cannot be captured at all
// leaves no silent track behind.
TEST_F(AudioEndToEndTest, MissingMicrophonesAndServersAreSaid) {
    const std::string file = Output("fallback.mp4");
    std::string log;
    ASSERT_EQ(RunTool({"-t", "1", "--mic", "nosuch", "-o", file}, &log), 0) << log;
    EXPECT_NE(log.find("tamro-record: microphone 'nosuch' not found: using the default '" +
                       std::string(test::PrivatePulseServer::kMic) + "'"),
              std::string::npos)
        << log;
    EXPECT_EQ(Recording(file).probe.StreamCount("audio"), 1);

    const std::string silent = Output("no-server.mp4");
    const std::string server = getenv("PULSE_SERVER");
    setenv("PULSE_SERVER", ("unix:" + Output("no-such-socket")).c_str(), 1);
    const int status = RunTool({"-t", "1", "-o", silent}, &log);
    setenv("PULSE_SERVER", server.c_str(), 1);
    ASSERT_EQ(status, 0) << log;
    EXPECT_NE(log.find("tamro-record: no audio server: recording without sound"), std::string::npos)
        << log;
    const Recording recording(silent);
    EXPECT_EQ(recording.probe.StreamCount("audio"), 0);
    EXPECT_EQ(recording.probe.StreamCount("video"), 1);
}

// An audio server that goes away mid-recording is said at once and fails the run, while the file
// keeps its whole picture and the sound heard until then.
// A server that goes away is said once; the recording goes on, and the sound comes back when
// the server does.
TEST_F(AudioEndToEndTest, ALostServerIsSaidAndItsSoundReturnsWithIt) {
    PlayTone(10.0);
    const std::string file = Output("lost.mp4");
    const auto logFile = Output("lost.log");
    test::ChildProcess tool({TAMRO_RECORD_TOOL, "-t", "9", "--no-mic", "-o", file},
                            {"DISPLAY=" + m_server.Name()}, logFile);
    std::this_thread::sleep_for(3s);
    m_player.reset();
    m_pulse->Kill();
    std::this_thread::sleep_for(2s);
    ASSERT_TRUE(m_pulse->Restart()) << m_pulse->Log();
    PlayTone(10.0);
    EXPECT_EQ(tool.Wait(), 1);
    const std::string log = ReadFile(logFile);
    const std::string said =
        "tamro-record: Audio server lost: the recording goes on without its system audio";
    ASSERT_NE(log.find(said), std::string::npos) << log;
    EXPECT_EQ(log.find(said), log.rfind(said)) << "said once\n" << log;
    const Recording recording(file);
    EXPECT_NEAR(recording.Duration(), 9.0, 0.2);
    EXPECT_EQ(recording.probe.StreamCount("audio"), 1);
    const double before = SoundStart(file);
    EXPECT_GE(before, 0.0) << "the tone before the loss is kept";
    EXPECT_LT(before, 1.0);
    const double back = SoundStart(file, 3.5);
    EXPECT_GT(back, 3.5) << "silence while the server is away";
    EXPECT_LE(back, 7.0) << "the tone again within 2 s of the server's return";
}

// White flashes on the screen and 1 kHz beeps into the sink at the same instants, every 2 s:
// in the file each beep starts within 40 ms of its flash, on a quiet machine and with both cores
// busy.
void AudioEndToEndTest::FlashAndBeep(int seconds, bool loaded) {
    constexpr auto kPeriod = 2000ms;
    std::optional<BusyMachine> load;
    if (loaded)
        load.emplace();
    constexpr auto kLength = 100ms;
    // Each beep is scheduled to be heard at a known moment; the screen flashes white then.
    std::mutex mutex;
    std::condition_variable scheduled;
    std::vector<std::chrono::steady_clock::time_point> heard;
    std::atomic<bool> running{true};
    // How late the test itself drew a flash: a loaded machine may wake it late, which is no fault
    // of the recorder, so it widens the tolerance.
    std::atomic<long long> worstDrawUs{0};
    std::thread flasher([&] {
        ::Display* display = XOpenDisplay(m_server.Name().c_str());
        GC gc = XCreateGC(display, DefaultRootWindow(display), 0, nullptr);
        // The server's first fill of the screen is slow, 30 to 70 ms, while it first touches its
        // framebuffer's pages; a grey fill, too dark to count as a flash, takes that cost early.
        for (const unsigned long colour : {0x808080UL, 0UL}) {
            XSetForeground(display, gc, colour);
            XFillRectangle(display, DefaultRootWindow(display), gc, 0, 0, 1920, 1080);
            XSync(display, False);
        }
        for (size_t next = 0; running;) {
            std::unique_lock lock(mutex);
            if (!scheduled.wait_for(lock, 100ms, [&] { return heard.size() > next; }))
                continue;
            const auto at = heard[next++];
            lock.unlock();
            for (const auto& [when, colour] : {std::pair{at, 0xffffffUL}, {at + kLength, 0UL}}) {
                std::this_thread::sleep_until(when);
                XSetForeground(display, gc, colour);
                XFillRectangle(display, DefaultRootWindow(display), gc, 0, 0, 1920, 1080);
                XSync(display, False);
                const auto late = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::steady_clock::now() - when);
                if (colour != 0)
                    worstDrawUs = std::max<long long>(worstDrawUs, late.count());
            }
        }
        XFreeGC(display, gc);
        XCloseDisplay(display);
    });
    std::optional<test::PulseBeeper> beeper;
    beeper.emplace(m_pulse->server(), kPeriod, kLength, [&](auto when) {
        std::lock_guard lock(mutex);
        heard.push_back(when);
        scheduled.notify_one();
    });
    const std::string file = Output("flash-beep.mp4");
    std::string log;
    const int status =
        RunTool({"--seconds", std::to_string(seconds), "--no-mic", "--output", file}, &log);
    beeper.reset();
    running = false;
    flasher.join();
    ASSERT_EQ(status, 0) << log;
    const test::Mp4Probe probe(file);
    const std::vector<double> flashes = FlashTimes(file, probe);
    const std::vector<double> beeps = BeepTimes(file, probe);
    ASSERT_GE(flashes.size(), static_cast<size_t>(seconds / 2 - 3));
    // The last beep may fall past the end of the picture, where the sound is cut.
    ASSERT_GE(beeps.size() + 1, flashes.size());
    const double drawn = static_cast<double>(worstDrawUs) / 1e6;
    double worst = 0.0;
    for (size_t i = 0; i < flashes.size(); ++i) {
        double nearest = 1e9;
        for (double beep : beeps) {
            if (std::abs(beep - flashes[i]) < std::abs(nearest))
                nearest = beep - flashes[i];
        }
        if (i + 1 == flashes.size() && std::abs(nearest) > 0.5)
            break;
        EXPECT_LE(std::abs(nearest), 0.040 + drawn)
            << "flash at " << flashes[i] << " s, beep " << nearest * 1000 << " ms after it";
        worst = std::max(worst, std::abs(nearest));
    }
    std::printf("A/V offset: worst %.1f ms over %zu flashes; flashes drawn up to %.1f ms late\n",
                worst * 1000, flashes.size(), drawn * 1000);
}

TEST_F(AudioEndToEndTest, FlashesAndBeepsStayTogetherForAMinute) {
    FlashAndBeep(60, false);
}

TEST_F(AudioEndToEndTest, FlashesAndBeepsStayTogetherUnderLoad) {
    FlashAndBeep(30, true);
}

}  // namespace
}  // namespace tamro
