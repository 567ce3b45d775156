#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "session/RecorderTest.h"

namespace tamro::test {
namespace {

using NativeRecorderTest = RecorderTest;

TEST_F(NativeRecorderTest, IdleStopIsANoOpAndAFullSessionRaisesEventsAndTearsDown) {
    int started = 0;
    std::vector<std::string> stopped;
    m_recorder->RecordingStarted([&](NativeRecorder&, std::nullptr_t) { started++; });
    // A throwing handler of the started event does not undo the session.
    m_recorder->RecordingStarted(
        [](NativeRecorder&, std::nullptr_t) { throw std::runtime_error("handler broke"); });
    m_recorder->RecordingStopped(
        [&](NativeRecorder&, const std::string& p) { stopped.push_back(p); });

    EXPECT_LT(TimedStop(), 20ms) << "a stop while idle returns at once, without an event";
    EXPECT_EQ(m_recorder->ElapsedSeconds(), 0.0);
    EXPECT_EQ(m_recorder->SessionStartTime(), 0);

    ASSERT_TRUE(Start());
    EXPECT_EQ(started, 1);
    EXPECT_TRUE(m_recorder->IsRecording());
    EXPECT_GT(m_recorder->SessionStartTime(), 0);
    EXPECT_EQ(m_world->screenOriginNs / 100, m_recorder->SessionStartTime());
    EXPECT_FALSE(Start()) << "a second start while recording";

    m_recorder->Stop();
    EXPECT_FALSE(m_recorder->IsRecording());
    EXPECT_EQ(stopped, std::vector<std::string>{"/tmp/out.mp4"});
    EXPECT_EQ(m_recorder->OutputPath(), "/tmp/out.mp4");
    EXPECT_TRUE(m_world->screenStopped);
    EXPECT_TRUE(m_world->finalized);
    EXPECT_TRUE(m_world->focusStopped);
    EXPECT_EQ(m_world->screenDestroyed, 1);
    EXPECT_EQ(m_world->encoderDestroyed, 1);
}

// Failures and exceptions alike end in one error event and one log line.
TEST_F(NativeRecorderTest, StartFailuresReportTheirErrorAndComplete) {
    struct Case {
        const char* error;
        const char* logLine;
        void (*breakIt)(FakeWorld&);
    };
    const Case cases[] = {
        {"Failed to initialize screen capture", "[NativeRecorder] Failed to initialize screen",
         [](FakeWorld& w) { w.screenHasDevice = false; }},
        {"Failed to initialize screen capture", "[NativeRecorder] Failed to initialize screen",
         [](FakeWorld& w) { w.screenInitResult = false; }},
        {"Failed to initialize encoder", "[NativeRecorder] Failed to initialize encoder",
         [](FakeWorld& w) { w.encoderInitResult = false; }},
        {"Failed to start screen capture", "[NativeRecorder] Failed to start screen capture",
         [](FakeWorld& w) { w.screenStartResult = false; }},
        {"device lost", "[NativeRecorder] Exception: device lost",
         [](FakeWorld& w) { w.encoderInitThrows = FakeWorld::Throw::kStandard; }},
        {"Unknown error occurred", "[NativeRecorder] Unknown exception",
         [](FakeWorld& w) { w.encoderInitThrows = FakeWorld::Throw::kOther; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logLine);
        Renew();
        c.breakIt(*m_world);
        LogCapture log;
        EXPECT_FALSE(Start());
        EXPECT_EQ(Errors(), std::vector<std::string>{c.error});
        EXPECT_TRUE(log.Contains(c.logLine));
        EXPECT_FALSE(m_recorder->IsRecording());
    }
}

// The frame rate is the capture's rate and the file's: one outside 1 to 120 is refused before
// anything is built.
TEST_F(NativeRecorderTest, FrameRateReachesCaptureAndEncoderOrIsRefused) {
    for (const int32_t fps : {0, 121}) {
        m_config.FrameRate(fps);
        EXPECT_FALSE(Start());
    }
    EXPECT_EQ(Errors(), (std::vector<std::string>{"Frame rate 0 is outside 1 to 120",
                                                  "Frame rate 121 is outside 1 to 120"}));
    EXPECT_EQ(m_world->screenStarts, 0);
    EXPECT_FALSE(m_world->encoderSettings.has_value());
    m_config.FrameRate(60);
    ASSERT_TRUE(Start());
    EXPECT_EQ(m_world->screenFps, 60u);
    EXPECT_EQ(m_world->encoderSettings->fps, 60u);
    m_recorder->Stop();
}

TEST_F(NativeRecorderTest, PlatformWithoutComponentsRefusesToStart) {
    auto recorder = NativeRecorder::Create();
    std::string error;
    recorder->ErrorOccurred([&](NativeRecorder&, const std::string& e) { error = e; });
    EXPECT_FALSE(recorder->StartAsync(m_config)->Get());
    EXPECT_EQ(error, "Failed to initialize screen capture");
}

// Values out of range are clamped or replaced by defaults, at the start and while recording.
TEST_F(NativeRecorderTest, SettingsAreClampedOnTheWayToTheComponents) {
    m_config.FocusZoom({.cropFraction = 0, .smoothing = -1, .deadZone = 7, .pulseFactor = 0});
    m_config.VideoProfile(7);
    m_config.MicrophoneVolume(3.0);
    m_config.SystemVolume(-0.5);
    m_recorder->SetSystemVolume(1.0);  // no capture yet: ignored
    ASSERT_TRUE(Start());
    EXPECT_EQ(m_world->encoderSettings->profile, 1u) << "out of range: Main";
    EXPECT_EQ(m_world->focusSettings->cropFraction, 0.55);
    EXPECT_EQ(m_world->focusSettings->smoothing, 0.4);
    EXPECT_EQ(m_world->focusSettings->deadZone, 7.0);
    EXPECT_EQ(m_world->focusSettings->pulseFactor, 2.0);
    EXPECT_EQ(m_world->micVolume, 2.0);
    EXPECT_EQ(m_world->systemVolume, 0.0);

    m_recorder->SetSystemVolume(5.0);
    m_recorder->SetMicrophoneVolume(-1.0);
    EXPECT_EQ(m_world->systemVolume, 2.0);
    EXPECT_EQ(m_world->micVolume, 0.0);
    m_recorder->SetFocusZoomSettings({.Flag1 = true, .cropFraction = 0.3, .pulseFactor = 3.0});
    EXPECT_TRUE(m_world->focusSettings->Flag1);
    EXPECT_DOUBLE_EQ(m_world->focusSettings->cropFraction, 0.3);
    EXPECT_DOUBLE_EQ(m_world->focusSettings->smoothing, 0.4);
    EXPECT_DOUBLE_EQ(m_world->focusSettings->deadZone, 5.0);
    EXPECT_DOUBLE_EQ(m_world->focusSettings->pulseFactor, 3.0);
    m_recorder->Stop();

    m_config.CaptureMicrophone(false);
    m_config.CaptureSystemAudio(false);
    ASSERT_TRUE(Start());
    EXPECT_EQ(m_world->audioCreated, 1) << "no audio flags, no audio capture";
    EXPECT_FALSE(m_world->encoderSettings->hasAudio);
    m_recorder->Stop();
}

TEST_F(NativeRecorderTest, WindowAudioFallsBackToSystemAudio) {
    struct Case {
        uint32_t pid;
        std::vector<bool> initResults;
        bool loopbackResult;
        const char* logLine;  // null: no fallback line
        std::vector<bool> expectedSystemFlags;
        std::vector<uint32_t> expectedLoopbacks;
        bool prepare = false;
    };
    const Case cases[] = {
        {77, {}, true, nullptr, {false}, {77}},  // process audio works
        {0, {}, true, "Could not get process ID, falling back", {true}, {}},
        {77, {}, false, "Process loopback failed, falling back", {false, true}, {77}},
        {77, {false}, true, nullptr, {false, true}, {}},  // the first initialisation fails
        {77, {false, false}, true, "Audio capture initialization failed!", {false, true}, {}},
        {77, {}, true, nullptr, {true}, {}, true},  // a preparation records the system sound
    };
    m_config.CaptureMode(1);
    m_config.WindowHandle(0x1234);
    m_config.CaptureWindowAudioOnly(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        Renew();
        m_world->windowPid = c.pid;
        m_world->audioInitResults = c.initResults;
        m_world->loopbackResult = c.loopbackResult;
        LogCapture log;
        ASSERT_TRUE(c.prepare ? m_recorder->PrepareAsync(m_config)->Get() : Start());
        std::vector<bool> systemFlags;
        for (const auto& init : m_world->audioInits) {
            systemFlags.push_back(init.captureSystem);
        }
        EXPECT_EQ(systemFlags, c.expectedSystemFlags);
        EXPECT_EQ(m_world->loopbackPids, c.expectedLoopbacks);
        EXPECT_EQ(m_world->windowInitialized, 0x1234u);
        EXPECT_EQ(log.Count("falling back") + log.Count("initialization failed"),
                  c.logLine ? 1 : 0);
        EXPECT_TRUE(c.logLine == nullptr || log.Contains(c.logLine));
        // Settings reach the capture that was kept, even after a failed initialisation.
        EXPECT_EQ(m_world->systemVolume, 0.5);
        m_recorder->Stop();
    }
}

// The capture's time line leaves pauses out already; the recorder only holds back what comes
// while paused, and leaves paused time out of the elapsed time.
TEST_F(NativeRecorderTest, PauseHoldsBackWhatComesAndExcludesPausedTimeFromElapsed) {
    m_world->nowNs = 5'000'000'000;
    ASSERT_TRUE(Start());
    m_world->nowNs += 300'000'000;
    m_recorder->Pause();
    EXPECT_TRUE(m_recorder->IsPaused());
    EXPECT_TRUE(m_world->screenPaused);
    EXPECT_TRUE(m_world->audioPaused);
    EXPECT_DOUBLE_EQ(m_recorder->ElapsedSeconds(), 0.3);
    DeliverFrame(10'000'000);
    m_world->audioCallback(nullptr, 4096, 10'000'000, 213'333);
    m_world->nowNs += 2'000'000'000;
    EXPECT_DOUBLE_EQ(m_recorder->ElapsedSeconds(), 0.3);
    EXPECT_EQ(m_recorder->EstimatedBytes(), 300'000);

    m_recorder->Resume();
    EXPECT_FALSE(m_world->screenPaused);
    DeliverFrame(10'333'333);
    EXPECT_EQ(WrittenVideo(), (std::vector<int64_t>{10'333'333}));
    {
        std::lock_guard lock(m_world->writtenMutex);
        EXPECT_TRUE(m_world->writtenAudioPts.empty());
    }
    m_world->nowNs += 300'000'000;
    EXPECT_DOUBLE_EQ(m_recorder->ElapsedSeconds(), 0.6);
    EXPECT_EQ(m_recorder->SessionStartTime(), 50'000'000) << "the origin, in 100-ns units";
    m_recorder->Stop();
}

TEST_F(NativeRecorderTest, FocusTransitionThatNeverEndsBoundsStop) {
    ASSERT_TRUE(Start());
    m_world->focusBusyForever = true;
    const auto took = TimedStop();
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 300ms + 2 * 50ms + kSlack);
    EXPECT_EQ(m_log.Count("[FocusZoomManager] WaitUntilIdle timed out while transition/pulse still "
                          "active"),
              1);
    EXPECT_TRUE(m_world->finalized);
}

// A file that can no longer be written, or a capture whose window or display went away, ends
// the recording by itself, said once; what was recorded is finalised and kept.
TEST_F(NativeRecorderTest, ARecordingThatCannotGoOnEndsByItselfAndSaysWhy) {
    struct Case {
        std::string FakeWorld::*fault;
        const char* value;
        const char* said;
    };
    for (const Case& c : {Case{&FakeWorld::writeFailure, "disk full",
                               "Writing the file failed (disk full): the recording stopped"},
                          Case{&FakeWorld::captureEnded, "the recorded window was closed",
                               "the recorded window was closed"}}) {
        SCOPED_TRACE(c.value);
        Renew();
        std::promise<void> stopped;
        m_recorder->RecordingStopped(
            [&](NativeRecorder&, const std::string&) { stopped.set_value(); });
        ASSERT_TRUE(Start());
        {
            std::lock_guard lock(m_world->writtenMutex);
            (*m_world).*c.fault = c.value;
        }
        ASSERT_EQ(stopped.get_future().wait_for(5s), std::future_status::ready);
        const std::vector<std::string> errors = Errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind(c.said, 0), 0u) << errors[0];
        EXPECT_TRUE(m_world->finalized);
        EXPECT_FALSE(m_recorder->IsRecording());
    }
}

TEST_F(NativeRecorderTest, ProgressThreadThatNeverJoinsDoesNotBlockStop) {
    Gate handlerGate;
    m_recorder->ProgressUpdated(
        [&](NativeRecorder&, const std::shared_ptr<RecordingProgress>&) { handlerGate.Pass(); });
    ASSERT_TRUE(Start());
    ASSERT_TRUE(handlerGate.WaitForWaiter(3s));
    const auto took = TimedStop();
    EXPECT_LT(took, 50ms + 200ms + kSlack);
    EXPECT_EQ(m_log.Count("[NativeRecorder] STEP 7: WARNING: Progress thread join timed out after "
                          "200ms \xC3\xA2\xE2\x82\xAC\xE2\x80\x9D abandoning waiter"),
              1);
    EXPECT_TRUE(m_world->finalized);
    // The abandoned thread wakes after the recorder is gone and must not touch it.
    m_recorder.reset();
    handlerGate.Open();
    std::this_thread::sleep_for(100ms);
}

TEST_F(NativeRecorderTest, FrameCallbackThatNeverReturnsBoundsStop) {
    Gate writeGate;
    m_world->encoderWriteGate = &writeGate;
    ASSERT_TRUE(Start());
    std::thread frame([this] { DeliverFrame(0); });
    ASSERT_TRUE(writeGate.WaitForWaiter(2s));

    const auto took = TimedStop();
    EXPECT_GE(took, 500ms);
    EXPECT_LT(took, 500ms + 100ms + kSlack);
    EXPECT_TRUE(m_log.Contains(
        "[NativeRecorder] WaitForInFlightCallbacksDrain: timed out with 1 still in flight"));
    // The encoder is still in use by the stuck callback: it outlives Stop until the call returns.
    EXPECT_EQ(m_world->encoderDestroyed, 0);
    m_recorder.reset();
    writeGate.Open();
    frame.join();
    for (int i = 0; i < 100 && m_world->encoderDestroyed == 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(m_world->encoderDestroyed, 1);
    EXPECT_EQ(m_world->screenDestroyed, 1);
}

TEST_F(NativeRecorderTest, SlowFinalizeIsAwaitedAndReported) {
    m_world->finalizeDuration = 3s;
    ASSERT_TRUE(Start());
    const auto took = TimedStop();
    EXPECT_GE(took, 3s);
    EXPECT_LT(took, 3s + kSlack);
    EXPECT_TRUE(m_world->finalized);
    EXPECT_EQ(m_log.Count("[NativeRecorder] STEP 11: Encoder finalize taking longer than expected"),
              1);
}

TEST_F(NativeRecorderTest, StoppedHandlersMayRestartAndDestroyingTheRecorderStops) {
    std::vector<std::string> stopped;
    std::shared_ptr<AsyncOperation<bool>> restart;
    m_recorder->RecordingStopped([&](NativeRecorder& recorder, const std::string& path) {
        stopped.push_back(path);
        if (stopped.size() == 1) {
            restart = recorder.StartAsync(m_config);
        }
    });
    ASSERT_TRUE(Start());
    m_recorder->Stop();
    ASSERT_TRUE(restart);
    EXPECT_TRUE(restart->Get());
    EXPECT_TRUE(m_recorder->IsRecording());

    restart.reset();
    m_world->finalized = false;
    m_recorder.reset();
    EXPECT_TRUE(m_world->finalized);
    EXPECT_EQ(stopped, (std::vector<std::string>{"/tmp/out.mp4", "/tmp/out.mp4"}));
}

// Routing of frames and samples to the encoder: video timestamps stay on the frame grid and
// strictly increasing, the stop drains the sound to the end of the last frame, and callbacks that
// come after it are ignored.
TEST_F(NativeRecorderTest, FramesAndSamplesReachTheEncoderUpToTheStop) {
    ASSERT_TRUE(Start());
    const FrameCallback frames = m_world->frameCallback;
    const AudioCallback audio = m_world->audioCallback;
    for (const int64_t timestamp : {0, 0, 500'000, 400'000, 2'000'000}) {
        DeliverFrame(timestamp);
    }
    m_recorder->Stop();
    frames(nullptr, 3'000'000);
    audio(nullptr, 4096, 3'000'000, 213'333);
    // One frame per 1/30 s slot: a repeated time takes the next slot, one between slots the
    // nearest.
    EXPECT_EQ(WrittenVideo(), (std::vector<int64_t>{0, 333'333, 666'666, 1'000'000, 2'000'000}));
    const int64_t videoEnd = 2'000'000 + 10'000'000 / 30;
    EXPECT_EQ(m_world->audioDrainedTo, videoEnd);
    std::lock_guard lock(m_world->writtenMutex);
    EXPECT_EQ(m_world->writtenAudioPts, (std::vector<int64_t>{videoEnd - 1}))
        << "sound past the end of the picture is not written";
}

// Frames refused by the encoder are not frames per second, and count as dropped with the slots the
// capture could only fill late; the idle progress thread then joins.
TEST_F(NativeRecorderTest, RefusedFramesAreCountedAndLoggedEveryTenth) {
    std::vector<std::shared_ptr<RecordingProgress>> reports;
    m_recorder->ProgressUpdated(
        [&](NativeRecorder&, const std::shared_ptr<RecordingProgress>& progress) {
            reports.push_back(progress);
        });
    m_world->encoderWriteResult = false;
    m_world->screenLateFrames = 4;
    ASSERT_TRUE(Start());
    for (int i = 0; i < 25; ++i) {
        DeliverFrame(i * 333'333);
    }
    std::this_thread::sleep_for(1200ms);
    m_recorder->Stop();
    EXPECT_EQ(m_log.Count("[NativeRecorder] WriteVideoFrame failed, dropped="), 3);
    EXPECT_TRUE(m_log.Contains("dropped=1"));
    EXPECT_TRUE(m_log.Contains("dropped=11"));
    EXPECT_TRUE(m_log.Contains("dropped=21"));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0]->DroppedFrames(), 25 + 4);
    EXPECT_EQ(reports[0]->Fps(), 0.0);
    EXPECT_NEAR(reports[0]->ElapsedSeconds(), 1.0, 0.1);
    EXPECT_FALSE(m_log.Contains("Progress thread join timed out"));
}

}  // namespace
}  // namespace tamro::test
