#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "session/RecorderTest.h"

namespace tamro::test {
namespace {

using NativeRecorderTest = RecorderTest;

TEST_F(NativeRecorderTest, StopWhenIdleReturnsAtOnceWithoutEvent) {
    int stopped = 0;
    m_recorder->RecordingStopped([&](NativeRecorder&, const std::string&) { stopped++; });
    EXPECT_LT(TimedStop(), 20ms);
    EXPECT_EQ(stopped, 0);
    EXPECT_EQ(m_recorder->ElapsedSeconds(), 0.0);
    EXPECT_EQ(m_recorder->SessionStartTime(), 0);
}

TEST_F(NativeRecorderTest, FullSessionRaisesEventsAndTearsDownInOrder) {
    int started = 0;
    std::string stoppedPath;
    m_recorder->RecordingStarted([&](NativeRecorder&, std::nullptr_t) { started++; });
    m_recorder->RecordingStopped([&](NativeRecorder&, const std::string& p) { stoppedPath = p; });

    ASSERT_TRUE(Start());
    EXPECT_EQ(started, 1);
    EXPECT_TRUE(m_recorder->IsRecording());
    EXPECT_GT(m_recorder->SessionStartTime(), 0);
    EXPECT_EQ(m_world->screenOriginNs / 100, m_recorder->SessionStartTime());
    EXPECT_FALSE(m_recorder->StartAsync(m_config)->Get()) << "a second start while recording";

    m_recorder->Stop();
    EXPECT_FALSE(m_recorder->IsRecording());
    EXPECT_EQ(stoppedPath, "/tmp/out.mp4");
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
        auto world = std::make_shared<FakeWorld>();
        c.breakIt(*world);
        auto recorder = NativeRecorder::Create(std::make_unique<FakeComponentFactory>(world));
        std::vector<std::string> errors;
        recorder->ErrorOccurred(
            [&](NativeRecorder&, const std::string& e) { errors.push_back(e); });
        LogCapture log;
        EXPECT_FALSE(recorder->StartAsync(m_config)->Get());
        EXPECT_EQ(errors, std::vector<std::string>{c.error});
        EXPECT_TRUE(log.Contains(c.logLine));
        EXPECT_FALSE(recorder->IsRecording());
    }
}

// The frame rate is the capture's rate and the file's: one outside 1 to 120 is refused before
// anything is built.
TEST_F(NativeRecorderTest, FrameRateReachesCaptureAndEncoderOrIsRefused) {
    std::vector<std::string> errors;
    m_recorder->ErrorOccurred([&](NativeRecorder&, const std::string& e) { errors.push_back(e); });
    for (const int32_t fps : {0, 121}) {
        m_config.FrameRate(fps);
        EXPECT_FALSE(Start());
    }
    EXPECT_EQ(errors, (std::vector<std::string>{"Frame rate 0 is outside 1 to 120",
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

TEST_F(NativeRecorderTest, AThrowingStartedHandlerDoesNotUndoTheSession) {
    m_recorder->RecordingStarted(
        [](NativeRecorder&, std::nullptr_t) { throw std::runtime_error("handler broke"); });
    EXPECT_TRUE(Start());
    EXPECT_TRUE(m_recorder->IsRecording());
    m_recorder->Stop();
}

TEST_F(NativeRecorderTest, SettingsAreClampedOnTheWayToTheComponents) {
    m_config.CaptureMode(2);
    m_config.Width(0);
    m_config.Height(-1);
    m_config.CaptureRegion({.X = 100, .Y = 50, .Width = 640, .Height = 360});
    m_config.FocusZoom({.cropFraction = 0, .smoothing = -1, .deadZone = 7, .pulseFactor = 0});
    m_config.VideoProfile(7);
    m_config.CaptureMicrophone(false);
    m_config.CaptureSystemAudio(false);
    ASSERT_TRUE(Start());
    ASSERT_EQ(m_world->cropRegions.size(), 1u);
    EXPECT_EQ(m_world->cropRegions[0], (std::vector<int32_t>{100, 50, 640, 360}));
    EXPECT_EQ(m_world->encoderSettings->width, 640u);
    EXPECT_EQ(m_world->encoderSettings->height, 360u);
    EXPECT_EQ(m_world->encoderSettings->profile, 1u) << "out of range: Main";
    EXPECT_EQ(m_world->focusSettings->cropFraction, 0.55);
    EXPECT_EQ(m_world->focusSettings->smoothing, 0.4);
    EXPECT_EQ(m_world->focusSettings->deadZone, 7.0);
    EXPECT_EQ(m_world->focusSettings->pulseFactor, 2.0);
    EXPECT_EQ(m_world->audioCreated, 0) << "no audio flags, no audio capture";
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
    };
    const Case cases[] = {
        {77, {}, true, nullptr, {false}, {77}},  // process audio works
        {0, {}, true, "Could not get process ID, falling back", {true}, {}},
        {77, {}, false, "Process loopback failed, falling back", {false, true}, {77}},
        {77, {false}, true, nullptr, {false, true}, {}},  // the first initialisation fails
        {77, {false, false}, true, "Audio capture initialization failed!", {false, true}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        auto world = std::make_shared<FakeWorld>();
        world->windowPid = c.pid;
        world->audioInitResults = c.initResults;
        world->loopbackResult = c.loopbackResult;
        auto recorder = NativeRecorder::Create(std::make_unique<FakeComponentFactory>(world));
        RecordingConfig config;
        config.CaptureMode(1);
        config.WindowHandle(0x1234);
        config.CaptureWindowAudioOnly(true);
        LogCapture log;
        ASSERT_TRUE(recorder->StartAsync(config)->Get());
        std::vector<bool> systemFlags;
        for (const auto& init : world->audioInits) {
            systemFlags.push_back(init.captureSystem);
        }
        EXPECT_EQ(systemFlags, c.expectedSystemFlags);
        EXPECT_EQ(world->loopbackPids, c.expectedLoopbacks);
        EXPECT_EQ(world->windowInitialized, 0x1234u);
        EXPECT_EQ(log.Count("falling back") + log.Count("initialization failed"),
                  c.logLine ? 1 : 0);
        EXPECT_TRUE(c.logLine == nullptr || log.Contains(c.logLine));
        // Settings reach the capture that was kept, even after a failed initialisation.
        EXPECT_EQ(world->systemVolume, 0.5);
        recorder->Stop();
    }
}

TEST_F(NativeRecorderTest, VolumesAreClampedAndReachTheCapture) {
    m_config.MicrophoneVolume(3.0);
    m_config.SystemVolume(-0.5);
    m_recorder->SetSystemVolume(1.0);  // no capture yet: ignored
    ASSERT_TRUE(Start());
    EXPECT_EQ(m_world->micVolume, 2.0);
    EXPECT_EQ(m_world->systemVolume, 0.0);
    m_recorder->SetSystemVolume(5.0);
    m_recorder->SetMicrophoneVolume(-1.0);
    EXPECT_EQ(m_world->systemVolume, 2.0);
    EXPECT_EQ(m_world->micVolume, 0.0);
    m_recorder->Stop();
}

TEST_F(NativeRecorderTest, PauseExcludesPausedTimeFromElapsed) {
    m_world->nowNs = 5'000'000'000;
    ASSERT_TRUE(Start());
    m_world->nowNs += 300'000'000;
    m_recorder->Pause();
    EXPECT_TRUE(m_recorder->IsPaused());
    EXPECT_TRUE(m_world->screenPaused);
    EXPECT_TRUE(m_world->audioPaused);
    EXPECT_DOUBLE_EQ(m_recorder->ElapsedSeconds(), 0.3);
    m_world->nowNs += 2'000'000'000;
    EXPECT_DOUBLE_EQ(m_recorder->ElapsedSeconds(), 0.3);
    EXPECT_EQ(m_recorder->EstimatedBytes(), 300'000);
    m_recorder->Resume();
    EXPECT_FALSE(m_world->screenPaused);
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
        auto world = std::make_shared<FakeWorld>();
        auto recorder = NativeRecorder::Create(std::make_unique<FakeComponentFactory>(world));
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::string> errors;
        bool stopped = false;
        recorder->ErrorOccurred([&](NativeRecorder&, const std::string& e) {
            std::lock_guard lock(mutex);
            errors.push_back(e);
        });
        recorder->RecordingStopped([&](NativeRecorder&, const std::string&) {
            std::lock_guard lock(mutex);
            stopped = true;
            changed.notify_all();
        });
        ASSERT_TRUE(recorder->StartAsync(m_config)->Get());
        {
            std::lock_guard lock(world->writtenMutex);
            (*world).*c.fault = c.value;
        }
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return stopped; }));
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind(c.said, 0), 0u) << errors[0];
        EXPECT_TRUE(world->finalized);
        EXPECT_FALSE(recorder->IsRecording());
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

TEST_F(NativeRecorderTest, DestroyingTheRecorderStopsTheSession) {
    std::string stoppedPath;
    m_recorder->RecordingStopped([&](NativeRecorder&, const std::string& p) { stoppedPath = p; });
    ASSERT_TRUE(Start());
    m_recorder.reset();
    EXPECT_TRUE(m_world->finalized);
    EXPECT_EQ(stoppedPath, "/tmp/out.mp4");
}

TEST_F(NativeRecorderTest, HandlersMayRestartFromTheStoppedEvent) {
    std::shared_ptr<AsyncOperation<bool>> restart;
    m_recorder->RecordingStopped([&](NativeRecorder& recorder, const std::string&) {
        if (!restart) {
            restart = recorder.StartAsync(m_config);
        }
    });
    ASSERT_TRUE(Start());
    m_recorder->Stop();
    ASSERT_TRUE(restart);
    EXPECT_TRUE(restart->Get());
    EXPECT_TRUE(m_recorder->IsRecording());
    m_recorder->Stop();
}

// Routing of frames and samples to the encoder.

TEST_F(NativeRecorderTest, VideoTimestampsAreFlooredToStayStrictlyIncreasing) {
    ASSERT_TRUE(Start());
    DeliverFrame(0);
    DeliverFrame(0);
    DeliverFrame(500'000);
    DeliverFrame(400'000);
    EXPECT_EQ(WrittenVideo(), (std::vector<int64_t>{0, 10'000, 500'000, 510'000}));
    m_recorder->Stop();
}

// The capture's time line leaves pauses out already; the recorder only holds back what comes
// while paused.
TEST_F(NativeRecorderTest, NothingIsWrittenWhilePausedAndFramesKeepTheCapturesTime) {
    ASSERT_TRUE(Start());
    m_recorder->Pause();
    DeliverFrame(10'000'000);  // while paused: ignored
    m_world->audioCallback(nullptr, 4096, 10'000'000, 213'333);
    m_recorder->Resume();
    DeliverFrame(10'333'333);
    EXPECT_EQ(WrittenVideo(), (std::vector<int64_t>{10'333'333}));
    std::lock_guard lock(m_world->writtenMutex);
    EXPECT_TRUE(m_world->writtenAudioPts.empty());
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

TEST_F(NativeRecorderTest, StopDrainsTheAudioToTheEndOfTheLastFrame) {
    ASSERT_TRUE(Start());
    DeliverFrame(2'000'000);
    m_recorder->Stop();
    const int64_t videoEnd = 2'000'000 + 10'000'000 / 30;
    EXPECT_EQ(m_world->audioDrainedTo, videoEnd);
    std::lock_guard lock(m_world->writtenMutex);
    EXPECT_EQ(m_world->writtenAudioPts, (std::vector<int64_t>{videoEnd - 1}))
        << "sound past the end of the picture is not written";
}

TEST_F(NativeRecorderTest, CallbacksAfterStopAreIgnored) {
    ASSERT_TRUE(Start());
    FrameCallback frames = m_world->frameCallback;
    AudioCallback audio = m_world->audioCallback;
    m_recorder->Stop();
    frames(nullptr, 1'000'000);
    audio(nullptr, 4096, 1'000'000, 213'333);
    EXPECT_TRUE(WrittenVideo().empty());
}

}  // namespace
}  // namespace tamro::test
