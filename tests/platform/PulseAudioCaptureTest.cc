#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

#include "audio/AudioCapture.h"
#include "platform/audio/ProcessTree.h"
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

// `frames` stereo frames from `fromFrame` on; empty when the capture is shorter.
std::vector<float> Window(const std::vector<float>& stereo, size_t fromFrame, size_t frames) {
    if (stereo.size() < (fromFrame + frames) * 2) {
        return {};
    }
    return {stereo.begin() + fromFrame * 2, stereo.begin() + (fromFrame + frames) * 2};
}
std::vector<float> Tail(const std::vector<float>& stereo) {
    const size_t frames = stereo.size() / 2;
    return Window(stereo, frames - std::min(frames, kFftFrames), kFftFrames);
}

// Where the strongest tone of the last kFftFrames of a capture lies.
double TailPeakHz(const std::vector<float>& stereo) {
    const std::vector<float> tail = Tail(stereo);
    EXPECT_FALSE(tail.empty()) << "too little audio: " << stereo.size() / 2 << " frames";
    return tail.empty() ? 0.0 : PeakHz(LeftSpectrum(tail), kRate);
}

double Rms(const std::vector<float>& samples) {
    double sum = 0.0;
    for (float s : samples) {
        sum += static_cast<double>(s) * s;
    }
    return samples.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

// Something done to the server `after` the step before it, while the capture runs.
struct Step {
    std::chrono::milliseconds after;
    std::function<void()> action;
};
// What the capture's output thread delivered, as float stereo, and the frames it had delivered
// when each step was taken.
struct Recording {
    std::vector<float> samples;
    std::vector<size_t> stepFrames;
};

// Starts the capture, takes the steps, lets it run `duration` more and stops it.
Recording Record(AudioCapture& capture, std::initializer_list<Step> steps,
                 std::chrono::milliseconds duration) {
    std::mutex mutex;
    Recording recording;
    EXPECT_TRUE(capture.Start([&](const uint8_t* data, uint32_t bytes, int64_t, int64_t) {
        const auto* pcm = reinterpret_cast<const int16_t*>(data);
        std::lock_guard lock(mutex);
        for (uint32_t i = 0; i < bytes / 2; ++i) {
            recording.samples.push_back(static_cast<float>(pcm[i]) / 32768.0f);
        }
    }));
    for (const Step& step : steps) {
        std::this_thread::sleep_for(step.after);
        step.action();
        std::lock_guard lock(mutex);
        recording.stepFrames.push_back(recording.samples.size() / 2);
    }
    std::this_thread::sleep_for(duration);
    capture.Stop();
    std::lock_guard lock(mutex);
    return std::move(recording);
}
std::vector<float> Record(AudioCapture& capture, std::chrono::milliseconds duration) {
    return Record(capture, {}, duration).samples;
}

// Feeds a 1 kHz tone into the pipe source at real-time pace until the thread is stopped.
std::jthread FeedMic(const std::filesystem::path& fifo) {
    return std::jthread([fifo](std::stop_token stop) {
        // Non-blocking: a server that stops reading must not hold up the test's teardown.
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        const std::vector<int16_t> second = ToneSamples(1000.0, 48000, 1, 1.0);
        const size_t chunk = 960;  // 20 ms
        int64_t deadline = platform::SteadyClockNs();
        for (size_t at = 0; fd >= 0 && !stop.stop_requested(); at = (at + chunk) % second.size()) {
            if (::write(fd, second.data() + at, chunk * 2) < 0 && errno != EAGAIN) {
                break;
            }
            deadline += 20'000'000;
            platform::SleepUntilNs(deadline);
        }
        if (fd >= 0) {
            ::close(fd);
        }
    });
}

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

    // Plays tones (Hz, seconds) one after another, each as a stream of its own, from a shell whose
    // descendants the players are.
    ChildProcess& Play(std::initializer_list<std::pair<double, double>> tones,
                       const std::string& sink = {}) {
        std::string script = "true";
        for (const auto& [hz, seconds] : tones) {
            const auto path = m_server->dir() / ("tone" + std::to_string(m_tones++) + ".wav");
            WriteToneWav(path, hz, 48000, 2, seconds);
            script += "; paplay --server=" + m_server->server() +
                      (sink.empty() ? "" : " --device=" + sink) + " " + path.string();
        }
        m_players.push_back(
            std::make_unique<ChildProcess>(std::vector<std::string>{"sh", "-c", script}));
        return *m_players.back();
    }
    bool WaitForSinkInputs(int count) {
        const std::string check = "test $(pactl --server=" + m_server->server() +
                                  " list short sink-inputs | wc -l) -ge " + std::to_string(count);
        for (int i = 0; i < 100; ++i) {
            if (ChildProcess({"sh", "-c", check}).Wait() == 0) {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    void LoadSink(const std::string& name) {
        ASSERT_TRUE(m_server->Control(
            {"load-module", "module-null-sink", "rate=48000", "norewinds=1", "sink_name=" + name}));
    }

    std::unique_ptr<PrivatePulseServer> m_server;
    std::vector<std::unique_ptr<ChildProcess>> m_players;
    int m_tones = 0;
};

// The latency taken off the timestamps is the device's, not what a stream that waited corked
// shows before it has run: that read 100 ms and more and put the sound that much early.
TEST_F(PulseAudioCaptureTest, DefaultFactoryCaptureRecordsTheDefaultSinkWithTheDevicesLatency) {
    Play({{440.0, 7.0}});  // lasts past the wait, the initialization and the recording
    ASSERT_TRUE(WaitForSinkInputs(1));
    const std::unique_ptr<IAudioCapture> created =
        ComponentFactory::CreateDefault()->CreateAudioCapture();
    auto* capture = dynamic_cast<AudioCapture*>(created.get());
    ASSERT_NE(capture, nullptr) << "the default factory must build the real capture";
    ASSERT_TRUE(capture->Initialize(true, false, "", 48000, 2, false, 0, 0));
    EXPECT_EQ(capture->SystemFormat().sampleRate, 48000u);
    std::this_thread::sleep_for(500ms);
    const std::vector<float> output = Record(*capture, 2500ms);
    EXPECT_LT(capture->StreamLatency() - capture->RingPrefill(), 200'000) << "over 20 ms";
    EXPECT_NEAR(TailPeakHz(output), 440.0, 2.0);
    // The monitor keeps pace with the sink: 2.5 s at 48 kHz, less start-up.
    EXPECT_GT(capture->SystemStatistics().rawFrames.load(), 100'000u);
    EXPECT_EQ(capture->SystemStatistics().droppedSamples.load(), 0u);
}

TEST_F(PulseAudioCaptureTest, MicrophoneByDevicePathOrThroughTheDefaultFallback) {
    const std::jthread feeder = FeedMic(m_server->MicFifo());
    const std::string path =
        std::string("SWD\\MMDEVAPI#") + PrivatePulseServer::kMic + "#{2eef81be}";
    for (const auto& [id, fallbackLines] : {std::pair{path, 0}, {"no-such-source", 1}}) {
        SCOPED_TRACE(id);
        LogCapture log;
        AudioCapture capture;
        ASSERT_TRUE(capture.Initialize(false, true, id, 48000, 2, false, 0, 0));
        EXPECT_EQ(log.Count("[AudioCapture] Extracted ID also failed, using default mic"),
                  fallbackLines);
        EXPECT_EQ(capture.MicFormat().channels, 1u);
        EXPECT_NEAR(TailPeakHz(Record(capture, 1800ms)), 1000.0, 2.0);
    }
}

// Another output made the default while recording: the loopback follows it within a second and
// says so once.
TEST_F(PulseAudioCaptureTest, SystemAudioFollowsANewDefaultOutput) {
    LoadSink("other");
    Play({{660.0, 6.0}}, "other");
    ASSERT_TRUE(WaitForSinkInputs(1));
    LogCapture log;
    AudioCapture capture;
    ASSERT_TRUE(capture.Initialize(true, false, "", 48000, 2, false, 0, 0));
    const Recording recording =
        Record(capture,
               {{1000ms,
                 [&] {
                     EXPECT_TRUE(m_server->Control({"set-default-sink", "other"}));
                 }}},
               2500ms);
    EXPECT_EQ(log.Count("[AudioCapture] System audio follows the new default output"), 1);
    const size_t switched = recording.stepFrames[0];
    EXPECT_LT(Rms(Window(recording.samples, 0, switched)), 1e-3) << "the first default is silent";
    EXPECT_GT(Rms(Window(recording.samples, switched + 48000, 4800)), 0.01)
        << "not heard a second after the switch";
    EXPECT_NEAR(TailPeakHz(recording.samples), 660.0, 2.0);
}

// An unplugged microphone is silence and one line until it is plugged in again, not the default
// input the server would have moved its stream to (which plays 1 kHz here).
TEST_F(PulseAudioCaptureTest, UnpluggedMicrophoneIsSilenceUntilItIsBack) {
    LoadSink("usbsink");
    const std::vector<std::string> plug = {"load-module", "module-remap-source",
                                           "source_name=usbmic", "master=usbsink.monitor"};
    ASSERT_TRUE(m_server->Control(plug));
    Play({{500.0, 9.0}}, "usbsink");
    const std::jthread feeder = FeedMic(m_server->MicFifo());
    ASSERT_TRUE(WaitForSinkInputs(1));
    LogCapture log;
    AudioCapture capture;
    ASSERT_TRUE(capture.Initialize(false, true, "usbmic", 48000, 2, false, 0, 0));
    const Recording recording =
        Record(capture,
               {{1000ms,
                 [&] {
                     EXPECT_TRUE(m_server->Control({"unload-module", "module-remap-source"}));
                 }},
                {1500ms, [&] { EXPECT_TRUE(m_server->Control(plug)); }}},
               2500ms);
    EXPECT_EQ(log.Count("[AudioCapture] Microphone lost: its device went away"), 1);
    EXPECT_EQ(log.Count("[AudioCapture] Microphone is back: its device returned"), 1);
    EXPECT_EQ(capture.LostSources(), "");
    EXPECT_LT(Rms(Window(recording.samples, recording.stepFrames[0] + 24000, 48000)), 1e-3)
        << "unplugged, yet something was heard";
    EXPECT_NEAR(TailPeakHz(recording.samples), 500.0, 2.0);
}

TEST_F(PulseAudioCaptureTest, ProcessLoopbackHearsOnlyTheTargetTreeAndItsLaterStreams) {
    // The target is a shell whose children play 440 Hz and then, as a new stream, 660 Hz, while an
    // unrelated process plays 1 kHz.
    ChildProcess& target = Play({{440.0, 2.0}, {660.0, 6.0}});
    Play({{1000.0, 9.0}});
    ChildProcess silent({"sleep", "30"});
    ASSERT_TRUE(WaitForSinkInputs(2));
    {
        // A process that plays nothing is refused, beside others that play.
        LogCapture log;
        AudioCapture capture;
        EXPECT_FALSE(capture.InitializeProcessLoopback(static_cast<uint32_t>(silent.pid())));
        EXPECT_TRUE(log.Contains(
            "[AudioCapture] Process loopback activation failed: 0x80070490; falling back to "
            "system audio"));
        EXPECT_FALSE(capture.IsProcessLoopbackActive());
    }
    AudioCapture capture;
    ASSERT_TRUE(capture.Initialize(false, false, "", 48000, 2, false, 0, 0));
    ASSERT_TRUE(capture.InitializeProcessLoopback(static_cast<uint32_t>(target.pid())));
    EXPECT_TRUE(capture.IsProcessLoopbackActive());
    const std::vector<float> sys = Record(capture, 4000ms);
    // Past the 128 ms prefill, the first part is the 440 Hz stream; the last, the 660 Hz one.
    for (const auto& [part, hz] :
         {std::pair{Window(sys, 7000, 16384), 440.0}, {Tail(sys), 660.0}}) {
        SCOPED_TRACE(hz);
        ASSERT_FALSE(part.empty());
        const auto spectrum = LeftSpectrum(part);
        EXPECT_NEAR(PeakHz(spectrum, kRate), hz, 2.0);
        EXPECT_GT(MagnitudeNear(spectrum, kRate, hz), 100 * MagnitudeNear(spectrum, kRate, 1000.0));
    }
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

TEST(ProcessTreeTest, ParentFromStatText) {
    EXPECT_EQ(platform::ParseParentFromStat("42 (paplay) S 7 42 42 0 -1"), 7u);
    // Command names may hold spaces and closing brackets.
    EXPECT_EQ(platform::ParseParentFromStat("42 (my (odd) app) R 1234 1 1"), 1234u);
    EXPECT_EQ(platform::ParseParentFromStat("42 (x)"), std::nullopt);
    EXPECT_EQ(platform::ParseParentFromStat("garbage"), std::nullopt);
    EXPECT_EQ(platform::ParseParentFromStat("42 (x) S abc"), std::nullopt);
}

TEST(ProcessTreeTest, ChildrenBelongToTheTreeParentsDoNot) {
    const auto self = static_cast<uint32_t>(::getpid());
    ChildProcess child({"sleep", "30"});
    ASSERT_GT(child.pid(), 0);
    const auto childPid = static_cast<uint32_t>(child.pid());
    EXPECT_TRUE(platform::IsInProcessTree(self, self));
    EXPECT_TRUE(platform::IsInProcessTree(childPid, self));
    EXPECT_FALSE(platform::IsInProcessTree(self, childPid));
    EXPECT_FALSE(platform::IsInProcessTree(childPid, 0));
    child.Stop();
    EXPECT_FALSE(platform::IsInProcessTree(childPid, self)) << "a process that is gone";
}

}  // namespace
}  // namespace tamro::test
