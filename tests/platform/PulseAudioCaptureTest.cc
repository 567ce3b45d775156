#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <thread>

#include "audio/AudioCapture.h"
#include "platform/system/SteadyClock.h"
#include "session/ComponentFactory.h"
#include "support/LogCapture.h"
#include "support/PrivatePulseServer.h"
#include "support/Tone.h"

namespace tamro::test {
namespace {

using namespace std::chrono_literals;

constexpr double kRate = 48000.0;
constexpr size_t kFftFrames = 65536;  // 1.37 s: 0.73 Hz bins

// Keeps what the capture's output thread delivers, as float stereo.
class OutputCollector {
  public:
    AudioCallback Callback() {
        return [this](const uint8_t* data, uint32_t bytes, int64_t, int64_t) {
            const auto* samples = reinterpret_cast<const int16_t*>(data);
            std::lock_guard lock(m_mutex);
            for (uint32_t i = 0; i < bytes / 2; ++i) {
                m_samples.push_back(static_cast<float>(samples[i]) / 32768.0f);
            }
        };
    }
    std::vector<float> Samples() const {
        std::lock_guard lock(m_mutex);
        return m_samples;
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<float> m_samples;
};

// The last kFftFrames frames of a stereo capture, or a part starting at `fromFrame`.
std::vector<float> Window(const std::vector<float>& stereo, size_t fromFrame, size_t frames) {
    if (stereo.size() < (fromFrame + frames) * 2) {
        return {};
    }
    return {stereo.begin() + fromFrame * 2, stereo.begin() + (fromFrame + frames) * 2};
}
std::vector<float> Tail(const std::vector<float>& stereo) {
    return stereo.size() < kFftFrames * 2
               ? std::vector<float>{}
               : Window(stereo, stereo.size() / 2 - kFftFrames, kFftFrames);
}

// Feeds a 1 kHz tone into the pipe source at real-time pace.
class MicFeeder {
  public:
    explicit MicFeeder(const std::filesystem::path& fifo) : m_thread([this, fifo] { Run(fifo); }) {}
    ~MicFeeder() {
        m_running = false;
        m_thread.join();
    }

  private:
    void Run(const std::filesystem::path& fifo) {
        // Non-blocking: a server that stops reading must not hold up the test's teardown.
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        const std::vector<int16_t> second = ToneSamples(1000.0, 48000, 1, 1.0);
        const size_t chunk = 960;  // 20 ms
        int64_t deadline = platform::SteadyClockNs();
        for (size_t at = 0; m_running; at = (at + chunk) % second.size()) {
            if (::write(fd, second.data() + at, chunk * 2) < 0 && errno != EAGAIN) {
                break;
            }
            deadline += 20'000'000;
            platform::SleepUntilNs(deadline);
        }
        ::close(fd);
    }

    std::atomic<bool> m_running{true};
    std::thread m_thread;
};

class PulseAudioCaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!ProgramInstalled("pulseaudio") || !ProgramInstalled("paplay") ||
            !ProgramInstalled("pactl")) {
            GTEST_SKIP() << "PulseAudio is not installed";
        }
        m_server = std::make_unique<PrivatePulseServer>();
        ASSERT_TRUE(m_server->Ready()) << "the private server did not come up:\n"
                                       << m_server->Log();
    }
    void TearDown() override {
        m_players.clear();
        m_server.reset();
    }

    std::filesystem::path Tone(double hz, double seconds) {
        const auto path = m_server->dir() / ("tone" + std::to_string(m_tones++) + ".wav");
        WriteToneWav(path, hz, 48000, 2, seconds);
        return path;
    }
    // Runs `script` under sh, so the players it starts are descendants of the returned process.
    ChildProcess& Shell(const std::string& script) {
        m_players.push_back(
            std::make_unique<ChildProcess>(std::vector<std::string>{"sh", "-c", script}));
        return *m_players.back();
    }
    std::string Play(const std::filesystem::path& file) {
        return "paplay --server=" + m_server->server() + " " + file.string();
    }
    int SinkInputCount() {
        const std::string command =
            "pactl --server=" + m_server->server() + " list short sink-inputs";
        FILE* list = ::popen(command.c_str(), "r");
        if (list == nullptr) {
            return 0;
        }
        int lines = 0;
        for (int c; (c = std::fgetc(list)) != EOF;) {
            lines += c == '\n' ? 1 : 0;
        }
        ::pclose(list);
        return lines;
    }
    bool WaitForSinkInputs(int count) {
        for (int i = 0; i < 100; ++i) {
            if (SinkInputCount() >= count) {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    std::unique_ptr<PrivatePulseServer> m_server;
    std::vector<std::unique_ptr<ChildProcess>> m_players;
    int m_tones = 0;
};

TEST_F(PulseAudioCaptureTest, DefaultFactoryCaptureRecordsWhatTheDefaultSinkPlays) {
    const std::unique_ptr<IAudioCapture> created =
        ComponentFactory::CreateDefault()->CreateAudioCapture();
    auto* capture = dynamic_cast<AudioCapture*>(created.get());
    ASSERT_NE(capture, nullptr) << "the default factory must build the real capture";
    ASSERT_TRUE(capture->Initialize(true, false, "", 48000, 2, false, 0, 0));
    EXPECT_EQ(capture->SystemFormat().sampleRate, 48000u);
    Shell(Play(Tone(440.0, 6.0)));
    ASSERT_TRUE(WaitForSinkInputs(1));
    OutputCollector output;
    ASSERT_TRUE(capture->Start(output.Callback()));
    std::this_thread::sleep_for(2500ms);
    capture->Stop();
    const std::vector<float> tail = Tail(output.Samples());
    ASSERT_FALSE(tail.empty()) << "too little audio: " << output.Samples().size() / 2 << " frames";
    EXPECT_NEAR(PeakHz(LeftSpectrum(tail), kRate), 440.0, 2.0);
    // The monitor keeps pace with the sink: 2.5 s at 48 kHz, less start-up.
    EXPECT_GT(capture->SystemStatistics().rawFrames.load(), 100'000u);
    EXPECT_EQ(capture->SystemStatistics().droppedSamples.load(), 0u);
}

// The latency taken off the timestamps is the device's, not what a stream that waited corked
// shows before it has run: that read 100 ms and more and put the sound that much early.
TEST_F(PulseAudioCaptureTest, LatencyOfAStreamThatWaitedIsTheDevicesOwn) {
    Shell(Play(Tone(440.0, 6.0)));
    ASSERT_TRUE(WaitForSinkInputs(1));
    AudioCapture capture;
    ASSERT_TRUE(capture.Initialize(true, false, "", 48000, 2, false, 0, 0));
    std::this_thread::sleep_for(500ms);
    OutputCollector output;
    ASSERT_TRUE(capture.Start(output.Callback()));
    EXPECT_LT(capture.StreamLatency() - capture.RingPrefill(), 200'000) << "over 20 ms";
    capture.Stop();
}

TEST_F(PulseAudioCaptureTest, MicrophoneByDevicePathOrThroughTheDefaultFallback) {
    MicFeeder feeder(m_server->MicFifo());
    struct Case {
        std::string id;
        int fallbackLines;
    };
    const std::string path =
        std::string("SWD\\MMDEVAPI#") + PrivatePulseServer::kMic + "#{2eef81be}";
    for (const Case& c : {Case{path, 0}, Case{"no-such-source", 1}}) {
        SCOPED_TRACE(c.id);
        LogCapture log;
        AudioCapture capture;
        ASSERT_TRUE(capture.Initialize(false, true, c.id, 48000, 2, false, 0, 0));
        EXPECT_EQ(log.Count("[AudioCapture] Extracted ID also failed, using default mic"),
                  c.fallbackLines);
        EXPECT_EQ(capture.MicFormat().channels, 1u);
        OutputCollector output;
        ASSERT_TRUE(capture.Start(output.Callback()));
        std::this_thread::sleep_for(1800ms);
        capture.Stop();
        const std::vector<float> tail = Tail(output.Samples());
        ASSERT_FALSE(tail.empty())
            << "too little audio: " << output.Samples().size() / 2 << " frames";
        EXPECT_NEAR(PeakHz(LeftSpectrum(tail), kRate), 1000.0, 2.0);
    }
}

TEST_F(PulseAudioCaptureTest, ProcessLoopbackHearsOnlyTheTargetTreeAndItsLaterStreams) {
    // The target is a shell whose children play 440 Hz and then, as a new stream, 660 Hz, while an
    // unrelated process plays 1 kHz.
    ChildProcess& target = Shell(Play(Tone(440.0, 2.0)) + "; " + Play(Tone(660.0, 6.0)));
    Shell(Play(Tone(1000.0, 9.0)));
    ASSERT_TRUE(WaitForSinkInputs(2));
    AudioCapture capture;
    ASSERT_TRUE(capture.Initialize(false, false, "", 48000, 2, false, 0, 0));
    ASSERT_TRUE(capture.InitializeProcessLoopback(static_cast<uint32_t>(target.pid())));
    EXPECT_TRUE(capture.IsProcessLoopbackActive());
    OutputCollector output;
    ASSERT_TRUE(capture.Start(output.Callback()));
    std::this_thread::sleep_for(4000ms);
    capture.Stop();
    const std::vector<float> sys = output.Samples();
    // Past the 128 ms prefill, the first part is the 440 Hz stream.
    const std::vector<float> early = Window(sys, 7000, 16384);
    ASSERT_FALSE(early.empty());
    const auto earlySpectrum = LeftSpectrum(early);
    EXPECT_NEAR(PeakHz(earlySpectrum, kRate), 440.0, 2.0);
    EXPECT_GT(MagnitudeNear(earlySpectrum, kRate, 440.0),
              100 * MagnitudeNear(earlySpectrum, kRate, 1000.0));
    const std::vector<float> late = Tail(sys);
    ASSERT_FALSE(late.empty());
    const auto lateSpectrum = LeftSpectrum(late);
    EXPECT_NEAR(PeakHz(lateSpectrum, kRate), 660.0, 2.0) << "the later stream was not picked up";
    EXPECT_GT(MagnitudeNear(lateSpectrum, kRate, 660.0),
              100 * MagnitudeNear(lateSpectrum, kRate, 1000.0));
}

TEST_F(PulseAudioCaptureTest, ProcessThatPlaysNothingFailsWithTheFallbackLine) {
    ChildProcess& silent = Shell("sleep 30");
    LogCapture log;
    AudioCapture capture;
    EXPECT_FALSE(capture.InitializeProcessLoopback(static_cast<uint32_t>(silent.pid())));
    EXPECT_TRUE(log.Contains(
        "[AudioCapture] Process loopback activation failed: 0x80070490; falling back to system "
        "audio"));
    EXPECT_FALSE(capture.IsProcessLoopbackActive());
}

TEST(PulseAudioUnavailableTest, InitializeFailsQuicklyWhenNoServerAnswers) {
    TempDir dir;
    // Nothing listens on the first path; the second accepts connections and never answers.
    const auto stuck = dir.path() / "stuck";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", stuck.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    for (const auto& server : {dir.path() / "absent", stuck}) {
        SCOPED_TRACE(server);
        ScopedEnvironment variable("PULSE_SERVER", "unix:" + server.string());
        LogCapture log;
        const auto begin = std::chrono::steady_clock::now();
        AudioCapture capture;
        EXPECT_FALSE(capture.Initialize(true, true, "", 48000, 2, false, 0, 0));
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
        EXPECT_TRUE(log.Contains("[AudioCapture] Audio server connection failed: 0x88890010"));
    }
    ::close(listener);
}

}  // namespace
}  // namespace tamro::test
