#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/RecorderTest.h"

namespace tamro::test {
namespace {

class PreparedStartTest : public RecorderTest {
  protected:
    PreparedStartTest() {
        m_recorder->RecordingStarted([this](NativeRecorder&, std::nullptr_t) { ++m_started; });
    }

    bool Prepare() { return m_recorder->PrepareAsync(m_config)->Get(); }
    bool StartPrepared() { return m_recorder->StartPreparedAsync()->Get(); }

    int m_started = 0;
};

TEST_F(PreparedStartTest, PrepareBuildsEverythingAndTheStartOnlyStartsTheCaptures) {
    m_world->nowNs = 5'000'000'000;
    ASSERT_TRUE(Prepare());
    EXPECT_TRUE(m_recorder->IsPrepared());
    EXPECT_FALSE(m_recorder->IsRecording());
    EXPECT_TRUE(m_world->encoderSettings.has_value());
    EXPECT_EQ(m_world->audioCreated, 1);
    EXPECT_EQ(m_world->screenStarts, 0);
    EXPECT_FALSE(m_world->focusStarted) << "the focus zoom starts with the recording";

    m_config.OutputPath("/tmp/other.mp4");
    EXPECT_FALSE(Prepare()) << "a second preparation is refused and keeps the first";
    EXPECT_TRUE(m_recorder->IsPrepared());
    EXPECT_EQ(m_world->screenDestroyed, 0);
    EXPECT_EQ(m_world->encoderSettings->path, "/tmp/out.mp4");
    EXPECT_TRUE(Errors().empty());

    m_world->nowNs += 300'000'000;
    ASSERT_TRUE(StartPrepared());
    EXPECT_TRUE(m_recorder->IsRecording());
    EXPECT_FALSE(m_recorder->IsPrepared());
    EXPECT_EQ(m_started, 1);
    EXPECT_TRUE(m_world->focusStarted);
    EXPECT_EQ(m_world->screenStarts, 1);
    EXPECT_EQ(m_recorder->ElapsedSeconds(), 0.0) << "counted from the start, not the preparation";
    EXPECT_EQ(m_recorder->SessionStartTime(), 53'000'000);
    EXPECT_EQ(m_world->screenOriginNs / 100, m_recorder->SessionStartTime());
    DeliverFrame(10'000);
    EXPECT_EQ(WrittenVideo().size(), 1u);

    EXPECT_FALSE(StartPrepared()) << "the start used the preparation up";
    EXPECT_EQ(Errors(), std::vector<std::string>{
                            "Prepared recording could not start because recorder is not prepared"});
    EXPECT_TRUE(
        m_log.Contains("[NativeRecorder] StartPreparedAsync: Not prepared - call PrepareAsync "
                       "first"));
    m_recorder->Stop();
    EXPECT_TRUE(m_world->finalized);
}

TEST_F(PreparedStartTest, DiscardTearsAPreparationDownAndIsIgnoredWhenIdleOrRecording) {
    m_recorder->DiscardPrepared();
    EXPECT_EQ(m_world->screenDestroyed, 0);

    ASSERT_TRUE(Prepare());
    m_recorder->DiscardPrepared();
    EXPECT_FALSE(m_recorder->IsPrepared());
    EXPECT_EQ(m_world->screenDestroyed, 1);
    EXPECT_EQ(m_world->encoderDestroyed, 1);
    EXPECT_TRUE(m_world->focusStopped);
    EXPECT_FALSE(m_world->finalized) << "nothing was recorded";
    EXPECT_TRUE(m_world->abandoned);
    EXPECT_FALSE(StartPrepared());

    ASSERT_TRUE(Prepare()) << "a discard does not block the next preparation";
    ASSERT_TRUE(StartPrepared());
    m_recorder->DiscardPrepared();
    EXPECT_TRUE(m_recorder->IsRecording());
    DeliverFrame(10'000);
    EXPECT_EQ(WrittenVideo().size(), 1u) << "the recording goes on";
    m_recorder->Stop();
    EXPECT_TRUE(m_world->finalized);
}

TEST_F(PreparedStartTest, ARecorderDestroyedWhilePreparedKeepsNoFile) {
    ASSERT_TRUE(Prepare());
    m_recorder.reset();
    EXPECT_TRUE(m_world->abandoned);
    EXPECT_FALSE(m_world->finalized);
    EXPECT_EQ(m_world->screenDestroyed, 1);
}

TEST_F(PreparedStartTest, PrepareFailuresAreLoggedWithoutEvents) {
    m_world->screenInitResult = false;
    EXPECT_FALSE(Prepare());
    EXPECT_TRUE(
        m_log.Contains("[NativeRecorder] PrepareAsync: Failed to initialize screen capture"));
    m_world->screenInitResult = true;
    m_world->encoderInitResult = false;
    EXPECT_FALSE(Prepare());
    EXPECT_TRUE(m_log.Contains("[NativeRecorder] PrepareAsync: Failed to initialize encoder"));
    EXPECT_FALSE(m_recorder->IsPrepared());
    EXPECT_TRUE(Errors().empty());

    m_world->encoderInitResult = true;
    m_world->audioInitResults = {false};
    EXPECT_TRUE(Prepare()) << "audio that fails to open does not stop the preparation";
    EXPECT_TRUE(
        m_log.Contains("[NativeRecorder] PrepareAsync: WARNING - Audio capture init failed"));
}

TEST_F(PreparedStartTest, FailedStartKeepsThePreparationForARetry) {
    ASSERT_TRUE(Prepare());
    m_world->screenStartResult = false;
    m_world->screenStartError = "no frames";
    EXPECT_FALSE(StartPrepared());
    m_world->screenStartError.clear();
    EXPECT_FALSE(StartPrepared());
    EXPECT_EQ(Errors(), (std::vector<std::string>{
                            "Failed to start screen capture during prepared start: no frames",
                            "Failed to start screen capture during prepared start: Unknown screen "
                            "capture start failure"}));
    EXPECT_TRUE(
        m_log.Contains("[NativeRecorder] StartPreparedAsync: Failed to start capture: no frames"));
    EXPECT_FALSE(m_recorder->IsRecording());
    EXPECT_TRUE(m_recorder->IsPrepared());

    m_world->screenStartResult = true;
    EXPECT_TRUE(StartPrepared());
    m_recorder->Stop();
}

TEST_F(PreparedStartTest, AStartedRecordingMakesThePreparedStartRefuse) {
    ASSERT_TRUE(Prepare());
    ASSERT_TRUE(Start());
    EXPECT_FALSE(StartPrepared());
    EXPECT_EQ(Errors(),
              std::vector<std::string>{
                  "Prepared recording could not start because recording is already active"});
    EXPECT_TRUE(m_log.Contains("[NativeRecorder] StartPreparedAsync: Already recording"));
    // The start replaced what was prepared: once it stopped, nothing is left to start.
    m_recorder->Stop();
    EXPECT_FALSE(StartPrepared());
    EXPECT_TRUE(
        m_log.Contains("[NativeRecorder] StartPreparedAsync: Not prepared - call PrepareAsync"));
}

}  // namespace
}  // namespace tamro::test
