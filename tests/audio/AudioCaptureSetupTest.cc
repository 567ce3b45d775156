#include <gtest/gtest.h>

#include <cstdlib>

#include "audio/SimulatedAudio.h"
#include "support/LogCapture.h"

namespace tamro::test {
namespace {

using platform::SyntheticAudioSetup;
using platform::SyntheticStream;

std::shared_ptr<SyntheticAudioSetup> MicsOnly() {
    auto setup = std::make_shared<SyntheticAudioSetup>();
    setup->captureDevices["mic-1"] = SyntheticStream{};
    setup->captureDevices["mic-2"] = SyntheticStream{};
    setup->defaultCommunications = "mic-2";
    setup->defaultMultimedia = "mic-1";
    return setup;
}

TEST(AudioCaptureSetupTest, ExtractEndpointId) {
    EXPECT_EQ(AudioSourceOpener::ExtractEndpointId(
                  R"(\\?\SWD#MMDEVAPI#{0.0.1.00000000}.{abc}#{2eef81be})"),
              "{0.0.1.00000000}.{abc}");
    EXPECT_EQ(AudioSourceOpener::ExtractEndpointId("SWD#MMDEVAPI#endpoint"), "endpoint");
    EXPECT_EQ(AudioSourceOpener::ExtractEndpointId("MMDEVAPI#"), "");
    EXPECT_EQ(AudioSourceOpener::ExtractEndpointId("a#MMDEVAPI#x#MMDEVAPI#y"), "x");
    EXPECT_EQ(AudioSourceOpener::ExtractEndpointId("swd#mmdevapi#lower#"), "swd#mmdevapi#lower#");
    EXPECT_EQ(AudioSourceOpener::ExtractEndpointId("MMDEVAPI"), "MMDEVAPI");
    EXPECT_EQ(AudioSourceOpener::ExtractEndpointId(""), "");
}

// Read again at every Start. A trim is read up to its first non-digit and clamped to 500 ms; only
// a value that starts with 0 and fits the 8-character buffer turns the servo off.
TEST(AudioCaptureSetupTest, StartReadsTheSwitchesFromTheEnvironment) {
    auto setup = MicsOnly();
    SimulatedClock clock;
    struct Case {
        const char* trim;
        const char* drift;
        int64_t trim100ns;
        bool servo;
        const char* line;
    };
    for (const Case& c :
         {Case{"900", "1", 5'000'000, true, "Manual audio PTS trim: 500ms"},
          Case{"-900", "0", -5'000'000, false, "Manual audio PTS trim: -500ms"},
          Case{" 42ms", "0ff", 420'000, false, "Manual audio PTS trim: 42ms"},
          Case{"abc", "00000000", 0, true, nullptr}, Case{"", "0000000", 0, false, nullptr},
          Case{"", "off", 0, true, nullptr}, Case{"1234567890123456", "", 0, true, nullptr}}) {
        SCOPED_TRACE(testing::Message() << "trim '" << c.trim << "', drift '" << c.drift << "'");
        setenv("TAMRO_AUDIO_PTS_OFFSET_MS", c.trim, 1);
        setenv("TAMRO_AUDIO_DRIFT", c.drift, 1);
        LogCapture log;
        auto capture = MakeSimulatedCapture(setup, clock);
        ASSERT_TRUE(capture->Initialize(false, true, "", 48000, 2, false, 0, 0));
        ASSERT_TRUE(capture->Start(nullptr));
        EXPECT_EQ(capture->PtsTrim(), c.trim100ns);
        EXPECT_EQ(capture->ServoEnabled(), c.servo);
        EXPECT_EQ(log.Count("Manual audio PTS trim"), c.line ? 1 : 0);
        if (c.line) {
            EXPECT_TRUE(log.Contains(c.line));
        }
    }
    unsetenv("TAMRO_AUDIO_PTS_OFFSET_MS");
    unsetenv("TAMRO_AUDIO_DRIFT");
}

// A device path and a source that does not exist are tried against a real server elsewhere;
// here the default roles fall back one after the other.
TEST(AudioCaptureSetupTest, MicrophoneChoiceFallsBackStepByStep) {
    SimulatedClock clock;
    {
        auto setup = MicsOnly();
        setup->defaultCommunications.clear();
        LogCapture log;
        auto capture = MakeSimulatedCapture(setup, clock);
        EXPECT_TRUE(capture->InitializeMicrophone(""));
        EXPECT_TRUE(
            log.Contains("[AudioCapture] Default communications mic failed (0x80070490), trying "
                         "multimedia role"));
    }
    {
        auto setup = MicsOnly();
        setup->defaultCommunications.clear();
        setup->defaultMultimedia.clear();
        LogCapture log;
        auto capture = MakeSimulatedCapture(setup, clock);
        EXPECT_FALSE(capture->Initialize(false, true, "gone", 48000, 2, false, 0, 0));
        EXPECT_TRUE(log.Contains(
            "[AudioCapture] Default communications mic failed (0x80070490), trying multimedia"));
        EXPECT_TRUE(log.Contains("[AudioCapture] Failed to get microphone device: 0x80070490"));
        EXPECT_FALSE(capture->HasMicrophone());
    }
}

TEST(AudioCaptureSetupTest, SetUpFailuresAreOneLineAndFalse) {
    SimulatedClock clock;
    auto setup = MicsOnly();  // no output device
    setup->captureDevices["broken"].initializeResult = platform::kAudioFail;
    setup->captureDevices["24bit"].format.bitsPerSample = 24;
    auto capture = MakeSimulatedCapture(setup, clock);
    LogCapture log;
    EXPECT_FALSE(capture->Initialize(true, false, "", 48000, 2, false, 0, 0));
    EXPECT_TRUE(log.Contains("[AudioCapture] Failed to get default render device"));
    EXPECT_FALSE(capture->InitializeMicrophone("broken"));
    EXPECT_TRUE(log.Contains("[AudioCapture] Failed to initialize mic: 0x80004005"));
    EXPECT_FALSE(capture->InitializeMicrophone("24bit"));
    EXPECT_TRUE(log.Contains("[AudioCapture] Failed to get mic mix format"));
    EXPECT_FALSE(capture->Initialize(false, true, "", 0, 2, false, 0, 0));
    EXPECT_TRUE(log.Contains("[AudioCapture] Invalid output format: 0 Hz, 2 channels"));
    EXPECT_TRUE(capture->Initialize(false, false, "", 48000, 2, false, 0, 0));
}

TEST(AudioCaptureSetupTest, ProcessLoopbackOutcomes) {
    SimulatedClock clock;
    auto setup = std::make_shared<SyntheticAudioSetup>();
    setup->processTrees[4242] = SyntheticStream{};
    LogCapture log;
    auto capture = MakeSimulatedCapture(setup, clock);
    EXPECT_FALSE(capture->InitializeProcessLoopback(0));
    EXPECT_TRUE(log.Contains("[AudioCapture] Invalid process ID for process loopback"));
    EXPECT_TRUE(capture->InitializeProcessLoopback(4242));
    EXPECT_TRUE(capture->IsProcessLoopbackActive());
    EXPECT_EQ(capture->ProcessLoopbackPid(), 4242u);
    EXPECT_TRUE(capture->HasSystem());

    setup->processActivationTimesOut = true;
    auto late = MakeSimulatedCapture(setup, clock);
    EXPECT_FALSE(late->InitializeProcessLoopback(4242));
    EXPECT_TRUE(log.Contains(
        "[AudioCapture] Process loopback activation timed out after 1000ms; falling back to "
        "system audio"));
    EXPECT_FALSE(late->IsProcessLoopbackActive());
}

}  // namespace
}  // namespace tamro::test
