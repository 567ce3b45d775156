// Whole recordings through the tool and the API: their timing, what ends them, what they refuse,
// and, on a private PulseAudio server, their sound.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "support/PrivatePulseServer.h"
#include "support/PulseBeeper.h"
#include "support/Tone.h"
// Last: it brings in Xlib, whose macros clash with names in the headers above.
#include "e2e/EndToEnd.h"

namespace tamro::test {
namespace {

using RecordingEndToEndTest = EndToEndTest;

// Changing and idle screens give a file of the seconds asked for at the default rate; a rate
// asked for gives a constant frame rate file: frame k at exactly k / fps.
TEST_F(RecordingEndToEndTest, ChangingAndIdleScreensGiveOneFrameInEverySlotAtEachRate) {
    // A rate of 0 leaves the tool its defaults, sound included.
    for (const auto& [changing, fps] :
         std::vector<std::pair<bool, int>>{{true, 0}, {false, 0}, {true, 10}, {true, 60}}) {
        const int rate = fps ? fps : 30;
        SCOPED_TRACE((changing ? "changing screen at " : "idle screen at ") + std::to_string(rate) +
                     " fps");
        if (changing)
            StartPainting();
        const std::string file =
            Output((changing ? "changing-" : "idle-") + std::to_string(rate) + ".mp4");
        std::vector<std::string> args = {"--seconds", "5", "--output", file};
        if (fps)
            args.insert(args.end(),
                        {"--fps", std::to_string(fps), "--no-mic", "--no-system-audio"});
        std::string log;
        ASSERT_EQ(RunTool(args, &log), 0) << log;
        StopPainting();
        const Recording recording(file);
        ASSERT_TRUE(recording.probe.Opened());
        EXPECT_NEAR(recording.Duration(), 5.0, 0.2);
        EXPECT_EQ(recording.probe.Stream("video", "r_frame_rate"), std::to_string(rate) + "/1");
        const auto pts = recording.probe.VideoFramePts();
        ASSERT_FALSE(pts.empty());
        if (kRatesMeasured) {
            EXPECT_NEAR(static_cast<double>(pts.size()) / recording.Duration(), rate, 1.0);
            if (fps) {
                EXPECT_NEAR(static_cast<double>(pts.size()), 5.0 * fps, 1.0);
            }
        }
        const std::string timeBase = recording.probe.Stream("video", "time_base");
        for (size_t k = 0; fps && k < pts.size(); ++k)
            ASSERT_NEAR(Seconds(timeBase, pts[k]), static_cast<double>(k) / fps, 1e-6) << k;
        EXPECT_TRUE(recording.StrictlyIncreasing());
        EXPECT_EQ(recording.warnings, "");
        EXPECT_NE(log.find("Recording to " + file), std::string::npos) << log;
        EXPECT_NE(log.find("  00:04 "), std::string::npos) << "a progress line each second";
    }
}

// A region, a window, a region partly off the monitor (what lies on it) and a monitor named by
// its output each give the file their size.
TEST_F(RecordingEndToEndTest, RegionsWindowsAndMonitorsGiveTheFileTheirSize) {
    struct Case {
        std::vector<std::string> args;
        int width;
        int height;
    };
    const Case cases[] = {
        {{"--region", "100,50,640,352"}, 640, 352},
        {{"--window", WindowId(MapWindow(300, 200, 800, 608))}, 800, 608},
        {{"--region", "1600,-100,401,500"}, 320, 400},
        {{"--monitor", "screen", "--no-mic", "--no-system-audio"}, 1920, 1080},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        const std::string file = Output("size-" + std::to_string(&c - cases) + ".mp4");
        std::vector<std::string> args = {"--seconds", "1", "--output", file};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string log;
        ASSERT_EQ(RunTool(args, &log), 0) << log;
        const Recording recording(file);
        EXPECT_EQ(recording.Width(), c.width);
        EXPECT_EQ(recording.Height(), c.height);
        EXPECT_GT(recording.Frames(), 20u);
    }
}

// What cannot be recorded, or what the writer or the encoder would fail on later, is refused
// before anything is recorded, in one line that names the reason, and leaves no file.
TEST_F(RecordingEndToEndTest, BadInputIsRefusedInOneLineBeforeAnythingIsRecorded) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string said;
        std::string display = "";
    };
    const std::string offTheMonitor =
        "Region 1900,0 400x300 has only 20x300 on monitor 0,0 1920x1080";
    const Case cases[] = {
        {{"--frobnicate"}, 2, "unknown option '--frobnicate'"},
        {{"--size", "20000x20000"}, 2, "--size needs WIDTHxHEIGHT, each from 2 to 8192"},
        {{"--size", "2147483648x2147483648"}, 2, "--size needs WIDTHxHEIGHT"},
        {{"-o", Output("x.mkv")}, 1, "the output is an MP4 file: name it .mp4"},
        {{"-o", Output("x")}, 1, "the output is an MP4 file: name it .mp4"},
        {{"-y", "-o", "/dev/full"}, 1, "/dev/full is not a regular file"},
        {{"-o", Output(std::string(300, 'a') + ".mp4")},
         1,
         "the file name is longer than the system allows (255 bytes)"},
        {{"-o", Output("none/x.mp4")}, 1, "the folder " + Output("none") + " does not exist"},
        {{"--monitor", "HDMI-9"}, 1, "no monitor named 'HDMI-9' (see --list)"},
        {{"--window", "0x7ffff0", "-o", Output("w.mp4")}, 1, "no window with id 0x7ffff0"},
        {{"--region", "1900,0,400,300", "-o", Output("off.mp4")}, 1, offTheMonitor},
        {{"--region", "1900,0,400,300", "--prepare", "-o", Output("off.mp4")}, 1, offTheMonitor},
        {{"-o", Output("no-display.mp4")}, 1, "cannot open display :79", ":79"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        std::vector<std::string> args = {"-t", "1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string log;
        EXPECT_EQ(RunTool(args, &log, 0ms, SIGINT, c.display), c.status);
        EXPECT_NE(log.find("tamro-record: " + c.said), std::string::npos) << log;
        EXPECT_EQ(log.find("Recording to"), std::string::npos) << log;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.path()))
            EXPECT_EQ(entry.path().filename().string(), "tool.log") << "no file but the log";
    }
}

// Nothing is lost by accident: an existing file is kept byte for byte unless replacing it was
// asked for, and a closed terminal finalises the recording.
TEST_F(RecordingEndToEndTest, ExistingFilesAreKeptAndAHangUpFinishesTheFile) {
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
    // Part of the screen in fresh noise about 30 times a second: pictures no encoder can make
    // small.
    StartPainting(33ms, [pixels = std::vector<uint32_t>(640 * 360),
                         state = 12345u](::Display* display) mutable {
        for (uint32_t& pixel : pixels) {
            state = state * 1664525u + 1013904223u;
            pixel = state >> 8;
        }
        const int screen = DefaultScreen(display);
        XImage* image = XCreateImage(display, DefaultVisual(display, screen), 24, ZPixmap, 0,
                                     reinterpret_cast<char*>(pixels.data()), 640, 360, 32, 0);
        XPutImage(display, RootWindow(display, screen), DefaultGC(display, screen), image, 0, 0, 0,
                  0, 640, 360);
        image->data = nullptr;  // the pixels are the vector's
        XDestroyImage(image);
    });
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
    const std::string closed = Output("closed.mp4");
    ChildProcess tool =
        StartTool({"--no-mic", "--no-system-audio", "--window", WindowId(window), "-o", closed});
    std::this_thread::sleep_for(3s);
    XDestroyWindow(m_painter, window);
    XSync(m_painter, False);
    EXPECT_EQ(tool.Wait(), 0) << ToolLog();
    EXPECT_NE(ToolLog().find("tamro-record: the recorded window was closed"), std::string::npos)
        << ToolLog();
    EXPECT_GT(Recording(closed).Duration(), 1.0);
    EXPECT_EQ(Recording(closed).warnings, "");

    XvfbServer doomed("1280x720x24");
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

// Space pauses and resumes, q stops, from a pipe as from a terminal; the paused time is not in the
// file.
TEST_F(RecordingEndToEndTest, KeysPauseResumeAndStop) {
    const std::string fifo = Output("keys");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Opened for writing first, so that the tool's open does not wait for a writer.
    const int keys = open(fifo.c_str(), O_RDWR);
    ASSERT_GE(keys, 0);
    const std::string file = Output("keys.mp4");
    ChildProcess tool = StartTool({"--no-mic", "--no-system-audio", "-o", file}, fifo);
    const auto send = [&](auto after, const char* key) {
        std::this_thread::sleep_for(after);
        ASSERT_EQ(write(keys, key, 2), 2);
    };
    send(1500ms, " \n");
    send(1500ms, " \n");
    send(1000ms, "q\n");
    EXPECT_EQ(tool.Wait(), 0) << ToolLog();
    close(keys);
    const std::string log = ToolLog();
    EXPECT_NE(log.find("Paused; space resumes"), std::string::npos) << log;
    EXPECT_NE(log.find("Resumed"), std::string::npos) << log;
    // Up to 4 s of the tool's life, less the 1.5 s pause and its start-up.
    const double seconds = Recording(file).Duration();
    EXPECT_GT(seconds, 1.0) << log;
    EXPECT_LT(seconds, 2.6) << log;
}

// The entropy coding of every picture parameter set of a file: "1" for CABAC, "0" for CAVLC.
std::string EntropyModes(const std::string& file) {
    return CommandOutput("ffmpeg -hide_banner -i '" + file +
                         "' -c copy -bsf:v trace_headers -f null - 2>&1 | "
                         "grep entropy_coding_mode_flag | sed 's/.*= //' | sort -u | tr -d '\\n'");
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
    EXPECT_EQ(EntropyModes(file), "1") << "CABAC unless asked otherwise";

    const std::string cavlc = Output("cavlc.mp4");
    ASSERT_EQ(
        RunTool({"--synthetic", "-t", "1", "--profile", "high", "--cavlc", "-o", cavlc}, &log), 0)
        << log;
    EXPECT_EQ(EntropyModes(cavlc), "0");
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

// A prepared recording and its seconds count from its start, not from the preparation.
TEST_F(RecordingEndToEndTest, PreparedToolStartsAfterItsDelayOrStopsCleanly) {
    const std::string file = Output("prepared.mp4");
    std::string log;
    ASSERT_EQ(
        RunTool({"--prepare", "--start-after", "2000", "--seconds", "1.5", "--output", file}, &log),
        0)
        << log;
    EXPECT_NE(log.find("Ready; starting in 2000 ms"), std::string::npos) << log;
    EXPECT_NEAR(Recording(file).Duration(), 1.5, 0.2);

    const std::string never = Output("never.mp4");
    EXPECT_EQ(RunTool({"--prepare", "--start-after", "5000", "--output", never}, &log, 1500ms), 1);
    EXPECT_NE(log.find("nothing was recorded"), std::string::npos) << log;
    EXPECT_FALSE(std::filesystem::exists(never)) << "a discarded preparation leaves no file";
}

// When the recording's picture turns white, in seconds on the file's timeline.
std::vector<double> FlashTimes(const std::filesystem::path& file, const Mp4Probe& probe) {
    const std::string luma =
        CommandOutput("ffmpeg -v error -i '" + file.string() +
                      "' -map 0:v -vf scale=4:4,format=gray -fps_mode passthrough -enc_time_base "
                      "-1 -f rawvideo -");
    const std::vector<long long> pts = probe.VideoFramePts();
    const std::string timeBase = probe.Stream("video", "time_base");
    std::vector<double> flashes;
    bool white = false;
    for (size_t frame = 0; frame < pts.size() && (frame + 1) * 16 <= luma.size(); ++frame) {
        const bool bright = static_cast<uint8_t>(luma[frame * 16 + 5]) > 200;
        if (bright && !white)
            flashes.push_back(Seconds(timeBase, pts[frame]));
        white = bright;
    }
    return flashes;
}

// The sound of a file as 48 kHz mono samples, and where they start on the file's timeline.
struct Sound {
    Sound(const std::filesystem::path& file, const Mp4Probe& probe)
        : bytes(CommandOutput("ffmpeg -v error -i '" + file.string() +
                              "' -map 0:a -ac 1 -ar 48000 -f s16le -")),
          start(std::stod("0" + probe.Stream("audio", "start_time"))) {}
    const int16_t* samples() const { return reinterpret_cast<const int16_t*>(bytes.data()); }
    size_t count() const { return bytes.size() / 2; }

    std::string bytes;
    double start;
};

// When each beep starts, in seconds on the file's timeline: the first millisecond loud enough
// after at least half a second of quiet.
std::vector<double> BeepTimes(const std::filesystem::path& file, const Mp4Probe& probe) {
    const Sound sound(file, probe);
    std::vector<double> beeps;
    size_t quietWindows = 500;
    for (size_t at = 0; at + 48 <= sound.count(); at += 48) {
        double sum = 0.0;
        for (size_t i = at; i < at + 48; ++i)
            sum += std::abs(sound.samples()[i]) / 32768.0;
        const bool loud = sum / 48 > 0.05;
        if (loud && quietWindows >= 500)
            beeps.push_back(sound.start + static_cast<double>(at) / 48000.0);
        quietWindows = loud ? 0 : quietWindows + 1;
    }
    return beeps;
}

// Where the sound first reaches a tenth of full scale, at or after `from`, in seconds on the file's
// timeline; -1 when it never does.
double SoundStart(const std::filesystem::path& file, double from = 0.0) {
    const Sound sound(file, Mp4Probe(file));
    for (auto i = static_cast<size_t>(std::max(0.0, from - sound.start) * 48000); i < sound.count();
         ++i) {
        if (std::abs(sound.samples()[i]) > 3277)
            return sound.start + i / 48000.0;
    }
    return -1.0;
}

// Two processes that keep both cores busy at normal priority, as a game or a video call does.
class BusyMachine {
  public:
    BusyMachine() {
        for (auto& process : m_processes)
            process = std::make_unique<ChildProcess>(std::vector<std::string>{"yes"});
    }

  private:
    std::unique_ptr<ChildProcess> m_processes[2];
};

// Flashes the whole screen white for 100 ms at each instant it is given, drawn when due, and
// keeps how late it drew the latest of them: a loaded machine may wake it late, which is no fault
// of the recorder.
class Flasher {
  public:
    explicit Flasher(const std::string& display) : m_thread([=, this] { Run(display); }) {}
    ~Flasher() { Stop(); }

    void At(std::chrono::steady_clock::time_point instant) {
        std::lock_guard lock(m_mutex);
        m_instants.push_back(instant);
        m_due.notify_one();
    }
    void Stop() {
        {
            std::lock_guard lock(m_mutex);
            m_running = false;
        }
        m_due.notify_one();
        if (m_thread.joinable())
            m_thread.join();
    }
    double WorstLateness() const { return static_cast<double>(m_worstLateUs) / 1e6; }

  private:
    void Run(const std::string& name) {
        ::Display* display = XOpenDisplay(name.c_str());
        // The server's first fill of the screen is slow, 30 to 70 ms, while it first touches its
        // framebuffer's pages; a grey fill, too dark to count as a flash, takes that cost early.
        for (const unsigned long colour : {0x808080UL, 0UL})
            Fill(display, colour);
        for (size_t next = 0;; ++next) {
            std::unique_lock lock(m_mutex);
            m_due.wait(lock, [&] { return !m_running || m_instants.size() > next; });
            if (!m_running)
                break;
            const auto at = m_instants[next];
            lock.unlock();
            std::this_thread::sleep_until(at);
            Fill(display, 0xffffffUL);
            const auto late = std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::steady_clock::now() - at);
            m_worstLateUs = std::max<long long>(m_worstLateUs, late.count());
            std::this_thread::sleep_until(at + 100ms);
            Fill(display, 0UL);
        }
        XCloseDisplay(display);
    }

    std::mutex m_mutex;
    std::condition_variable m_due;
    std::vector<std::chrono::steady_clock::time_point> m_instants;
    bool m_running = true;
    std::atomic<long long> m_worstLateUs{0};
    std::thread m_thread;  // last: it uses the members above
};

// With both cores busy, a flash at every whole second of the recording lands in the file at its
// second: pictures are dropped or repeated when the machine cannot keep up, never delayed.
TEST_F(RecordingEndToEndTest, FlashesUnderLoadLandOnTheirInstants) {
    UseTheApi();
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
    Flasher flasher(m_server.Name());
    for (int i = 1; i <= kFlashes; ++i)
        flasher.At(origin + std::chrono::seconds(i));
    std::this_thread::sleep_until(origin + 20s);
    flasher.Stop();
    recorder->Stop();

    const Mp4Probe probe(file);
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
        if (!ProgramInstalled("pulseaudio") || !ProgramInstalled("pacat") ||
            !ProgramInstalled("paplay"))
            GTEST_SKIP() << "PulseAudio is not installed";
        m_pulse = std::make_unique<PrivatePulseServer>(Sink());
        ASSERT_TRUE(m_pulse->Ready()) << m_pulse->Log();
    }
    void TearDown() override {
        m_player.reset();
        m_pulse.reset();
        RecordingEndToEndTest::TearDown();
    }

    void FlashAndBeep(int seconds, bool loaded);
    virtual PrivatePulseServer::Sink Sink() const {
        return PrivatePulseServer::Sink::kWithoutRewinds;
    }

    // Plays a tone into the default sink for the given time.
    void PlayTone(double seconds) {
        const auto wav = m_dir.path() / "tone.wav";
        WriteToneWav(wav, 440.0, 48000, 2, seconds);
        m_player = std::make_unique<ChildProcess>(
            std::vector<std::string>{"paplay", "--server=" + m_pulse->server(), wav.string()});
    }

    std::unique_ptr<PrivatePulseServer> m_pulse;
    std::unique_ptr<ChildProcess> m_player;
};

// A recorder killed outright keeps all but its last moments; a stopped one leaves a regular file
// with one index, ahead of the media data, and sound that lasts as long as the picture.
TEST_F(AudioEndToEndTest, AKilledRecorderLeavesAPlayableFileAndAStoppedOneAWholeOne) {
    PlayTone(30.0);
    const std::string killed = Output("killed.mp4");
    ChildProcess tool = StartTool({"--output", killed});
    // Killed ten seconds into the recording, counted from its first progress line.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ToolLog().find("00:01") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(9s);
    kill(tool.pid(), SIGKILL);
    EXPECT_EQ(tool.Wait(), -1);
    const Recording afterKill(killed);
    ASSERT_TRUE(afterKill.probe.Opened()) << ToolLog();
    EXPECT_GE(afterKill.End("video"), 9.0);
    EXPECT_GE(afterKill.End("audio"), 9.0);
    EXPECT_GT(afterKill.Frames(), 270u);

    const std::string stopped = Output("stopped.mp4");
    std::string log;
    ASSERT_EQ(RunTool({"--seconds", "3", "--output", stopped}, &log), 0) << log;
    const std::vector<std::string> boxes = Mp4Probe::TopLevelBoxes(stopped);
    ASSERT_GE(boxes.size(), 3u);
    EXPECT_EQ(boxes[0], "ftyp");
    EXPECT_EQ(boxes[1], "moov");
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moov"), 1);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), 0);
    EXPECT_FALSE(std::filesystem::exists(stopped + ".part"));
    const Recording recording(stopped);
    ASSERT_EQ(recording.probe.StreamCount("audio"), 1) << log;
    EXPECT_EQ(recording.probe.Stream("audio", "codec_name"), "aac");
    EXPECT_EQ(recording.probe.Stream("audio", "sample_rate"), "48000");
    EXPECT_NEAR(recording.End("audio"), 3.0, 0.1);
    EXPECT_NEAR(recording.End("audio"), recording.End("video"), 0.05);
    EXPECT_EQ(recording.warnings, "");
}

// Through the API: pausing takes the paused time out of the picture and the sound alike, leaving
// no gap or overlap in the sound, and progress comes each second, pauses included.
TEST_F(AudioEndToEndTest, PauseShortensTheFileWithoutAGapAndProgressArrivesEachSecond) {
    UseTheApi();
    PlayTone(10.0);
    const auto recorder = NativeRecorder::Create();
    std::atomic<int> progress{0};
    recorder->ProgressUpdated(
        [&](NativeRecorder&, const std::shared_ptr<RecordingProgress>&) { ++progress; });
    RecordingConfig config;
    config.OutputPath(Output("paused.mp4"));
    config.Width(0);
    config.Height(0);
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
    EXPECT_NEAR(recording.End("audio"), recording.End("video"), 0.05)
        << "the pause left audio behind";
    const std::vector<long long> pts = recording.probe.AudioFramePts();
    const std::vector<long long> durations = recording.probe.AudioFrameDurations();
    ASSERT_GT(pts.size(), 100u);
    for (size_t i = 1; i < pts.size(); ++i)
        ASSERT_EQ(pts[i] - pts[i - 1], durations[i - 1]) << "audio frame " << i;
}

// A tone that was already playing when the recording began is in the file from its first
// instant, whichever source hears it.
class SoundFromTheStartTest : public AudioEndToEndTest {
  protected:
    // The sink renders up to 2 s ahead for a player at its default latency and hands a new
    // monitor stream nothing until that is played out: what a user's null sink does.
    PrivatePulseServer::Sink Sink() const override {
        return PrivatePulseServer::Sink::kAsUsersHaveIt;
    }
    // A fresh server's null sink takes up to 2 s to feed a new stream, so the recording starts
    // once that has passed.
    void SetUp() override {
        AudioEndToEndTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
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
        // A sanitizer build, several times slower, has been seen to wake the capture 40 ms late;
        // the fault this guards against is the first 0.1 to 1.5 s missing.
        EXPECT_LT(start, kRatesMeasured ? 0.050 : 0.100) << "the tone starts late";
        EXPECT_EQ(log.find("falling back"), std::string::npos) << log;
    }
};

TEST_F(SoundFromTheStartTest, SystemAudio) {
    ExpectToneFromTheStart({"--no-mic"});
}

TEST_F(SoundFromTheStartTest, MicrophoneFedByAPlayer) {
    ExpectToneFromTheStart(
        {"--no-system-audio", "--mic", std::string(PrivatePulseServer::kSink) + ".monitor"});
}

// The window's process is the player itself, so only its stream is recorded.
TEST_F(SoundFromTheStartTest, WindowProcessAudio) {
    const ::Window window = MapWindow(100, 100, 640, 352);
    const long pid = m_player->pid();
    XChangeProperty(m_painter, window, XInternAtom(m_painter, "_NET_WM_PID", False), XA_CARDINAL,
                    32, PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
    XSync(m_painter, False);
    ExpectToneFromTheStart({"--no-mic", "--window", WindowId(window), "--window-audio-only"});
}

// What cannot be heard is said once, without --verbose; sound that cannot be captured, or that
// was not asked for, leaves no silent track behind.
TEST_F(AudioEndToEndTest, MissingMicrophonesAndServersAreSaid) {
    const std::string file = Output("fallback.mp4");
    std::string log;
    ASSERT_EQ(RunTool({"-t", "1", "--mic", "nosuch", "-o", file}, &log), 0) << log;
    EXPECT_NE(log.find("tamro-record: microphone 'nosuch' not found: using the default '" +
                       std::string(PrivatePulseServer::kMic) + "'"),
              std::string::npos)
        << log;
    EXPECT_EQ(Recording(file).probe.StreamCount("audio"), 1);

    const std::string unasked = Output("no-audio.mp4");
    ASSERT_EQ(RunTool({"-t", "1", "--no-mic", "--no-system-audio", "-o", unasked}), 0);
    EXPECT_EQ(Recording(unasked).probe.StreamCount("audio"), 0);

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

// An audio server that goes away is said once and fails the run; the recording goes on with its
// whole picture, and the sound comes back when the server does.
TEST_F(AudioEndToEndTest, ALostServerIsSaidAndItsSoundReturnsWithIt) {
    PlayTone(10.0);
    const std::string file = Output("lost.mp4");
    ChildProcess tool = StartTool({"-t", "9", "--no-mic", "-o", file});
    std::this_thread::sleep_for(3s);
    m_player.reset();
    m_pulse->Kill();
    std::this_thread::sleep_for(2s);
    ASSERT_TRUE(m_pulse->Restart()) << m_pulse->Log();
    PlayTone(10.0);
    EXPECT_EQ(tool.Wait(), 1);
    const std::string log = ToolLog();
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
    std::optional<BusyMachine> load;
    if (loaded)
        load.emplace();
    // Each beep is scheduled to be heard at a known moment; the screen flashes white then.
    Flasher flasher(m_server.Name());
    std::optional<PulseBeeper> beeper(std::in_place, m_pulse->server(), 2000ms, 100ms,
                                      [&](auto when) { flasher.At(when); });
    const std::string file = Output("flash-beep.mp4");
    std::string log;
    const int status =
        RunTool({"--seconds", std::to_string(seconds), "--no-mic", "--output", file}, &log);
    beeper.reset();
    flasher.Stop();
    ASSERT_EQ(status, 0) << log;
    const Mp4Probe probe(file);
    const std::vector<double> flashes = FlashTimes(file, probe);
    const std::vector<double> beeps = BeepTimes(file, probe);
    ASSERT_GE(flashes.size(), static_cast<size_t>(seconds / 2 - 3));
    // The last beep may fall past the end of the picture, where the sound is cut.
    ASSERT_GE(beeps.size() + 1, flashes.size());
    // How late the test itself drew a flash widens the tolerance.
    const double drawn = flasher.WorstLateness();
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
}  // namespace tamro::test
