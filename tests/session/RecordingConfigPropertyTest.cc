#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>

#include "session/ComponentFactory.h"
#include "support/TempDir.h"
#include "tamro/NativeRecorder.h"

namespace tamro::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Values at and around the edges every field is checked against, with ordinary ones between.
class ConfigDraw {
  public:
    explicit ConfigDraw(uint32_t seed) : m_random(seed) {}

    int32_t Int() {
        static constexpr int32_t kValues[] = {std::numeric_limits<int32_t>::min(),
                                              -1,
                                              0,
                                              1,
                                              2,
                                              3,
                                              15,
                                              30,
                                              60,
                                              99,
                                              100,
                                              101,
                                              601,
                                              1001,
                                              1080,
                                              4096,
                                              20000,
                                              std::numeric_limits<int32_t>::max()};
        return Pick(kValues);
    }
    double Real() {
        static constexpr double kValues[] = {std::numeric_limits<double>::quiet_NaN(),
                                             -std::numeric_limits<double>::infinity(),
                                             std::numeric_limits<double>::infinity(),
                                             -1.0,
                                             0.0,
                                             0.25,
                                             0.5,
                                             1.0,
                                             2.0,
                                             1e300};
        return Pick(kValues);
    }
    bool Flag() { return (m_random() & 1) != 0; }
    bool Usual() { return m_random() % 16 != 0; }

    // Mostly values a caller would pass, so that most draws record; else any edge value.
    int32_t Int(std::initializer_list<int32_t> usual) { return Usual() ? Pick(usual) : Int(); }
    double Real(std::initializer_list<double> usual) { return Usual() ? Pick(usual) : Real(); }

    RecordingConfig Config(const std::filesystem::path& dir) {
        RecordingConfig config;
        config.OutputPath(
            (dir / (Usual() ? "a.mp4" : Pick<std::string>({"b.MP4", "c.mkv", "", "x/d.mp4", "."})))
                .string());
        config.CaptureMode(Int({0, 0, 2}));
        config.MonitorHandle(Usual() ? 0 : Pick<uint64_t>({1, 2, ~0ull}));
        config.WindowHandle(Usual() ? 0 : Pick<uint64_t>({0x400001, ~0ull}));
        config.CaptureRegion({Int({0, 100}), Int({0, 50}), Int({320, 1001}), Int({240, 601})});
        config.Width(Int({0, 640, 1001, 1280}));
        config.Height(Int({0, 480, 601, 720}));
        config.FrameRate(Int({15, 30, 60}));
        config.Bitrate(Int({0, 1'000'000, 4'000'000}));
        config.CaptureCursor(Flag());
        config.VideoProfile(Int({0, 1, 2}));
        config.QualityVsSpeed(Int({0, 50, 100}));
        config.EnableCabac(Flag());
        config.BFrameCount(Int({0, 2}));
        config.KeyframeIntervalSeconds(Int({1, 2}));
        config.AudioSampleRate(Int({44100, 48000}));
        config.AudioChannels(Int({1, 2}));
        config.AudioBitrate(Int({128'000, 192'000}));
        config.CaptureMicrophone(Flag());
        config.CaptureSystemAudio(Flag());
        config.CaptureWindowAudioOnly(Flag());
        config.MicrophoneDeviceId(Usual() ? ""
                                          : Pick<std::string>({"nope", std::string(5000, 'x')}));
        config.MicrophoneVolume(Real({0.0, 1.0, 2.0}));
        config.SystemVolume(Real({0.0, 0.5, 1.0}));
        config.NoiseSuppression(Flag());
        config.NoiseMode(Int({0, 1, 2}));
        config.NoiseStrength(Int({0, 50, 100}));
        config.DuckingEnabled(Flag());
        config.DuckLevelDb(Real({-12.0, 0.0}));
        config.AgcMinGain(Real({1.0}));
        config.AgcMaxGain(Real({2.5}));
        config.AgcTargetLevel(Real({0.09}));
        config.GainSmoothing(Real({0.1}));
        config.LimiterThreshold(Real({0.7}));
        config.LimiterKneeEnd(Real({0.8}));
        config.LimiterRatio(Real({3.0}));
        config.FocusZoom({Flag(), Flag(), Real({0.5}), Real({0.2}), Real({10.0}), Real({1.2})});
        return config;
    }

  private:
    template <typename T, size_t N>
    T Pick(const T (&values)[N]) {
        return values[m_random() % N];
    }
    template <typename T>
    T Pick(std::initializer_list<T> values) {
        return values.begin()[m_random() % values.size()];
    }

    std::mt19937 m_random;
};

bool HasIndex(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return bytes.find("moov") != std::string::npos;
}

// Whatever the caller puts in a config, starting, preparing and stopping end in bounded time
// without a crash or a leak, and a recording that started leaves a file with an index. The
// sanitizer build runs the same draws; TAMRO_PROPERTY_RUNS runs more of them.
TEST(RecordingConfigPropertyTest, AnyConfigStartsOrFailsAndStopsInBoundedTime) {
    const char* runs = std::getenv("TAMRO_PROPERTY_RUNS");
    const uint32_t count = runs != nullptr ? static_cast<uint32_t>(std::atoi(runs)) : 24;
    uint32_t recorded = 0;
    for (uint32_t seed = 1; seed <= count; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        TempDir dir;
        ConfigDraw draw(seed);
        const RecordingConfig config = draw.Config(dir.path());
        const std::shared_ptr<NativeRecorder> recorder =
            NativeRecorder::Create(ComponentFactory::CreateSynthetic());
        const bool prepared = draw.Flag();
        const auto begin = Clock::now();
        const bool started = prepared ? recorder->PrepareAsync(config)->Get() &&
                                            recorder->StartPreparedAsync()->Get()
                                      : recorder->StartAsync(config)->Get();
        EXPECT_LT(Clock::now() - begin, 10s) << "the start hung";
        EXPECT_EQ(recorder->IsRecording(), started);
        if (started) {
            std::this_thread::sleep_for(200ms);
        }
        const auto stopBegin = Clock::now();
        recorder->Stop();
        EXPECT_LT(Clock::now() - stopBegin, 6s) << "Stop hung";
        EXPECT_FALSE(recorder->IsRecording());
        if (started) {
            ++recorded;
            EXPECT_TRUE(HasIndex(config.OutputPath())) << config.OutputPath();
        }
    }
    std::printf("%u of %u draws recorded\n", recorded, count);
}

}  // namespace
}  // namespace tamro::test
