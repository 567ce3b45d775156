#include "session/RecorderTest.h"

namespace tamro::test {
namespace {

class HungPartsTest : public RecorderTest {};

// A capture whose destructor waits for a thread stuck in a platform call holds neither Stop nor
// the recorder's destructor; the parts still go, in their order, once it returns.
TEST_F(HungPartsTest, TeardownStuckInADestructorFinishesInTheBackground) {
    for (const bool byDestructor : {false, true}) {
        SCOPED_TRACE(byDestructor ? "destroying the recorder" : "Stop");
        m_world = std::make_shared<FakeWorld>();
        m_recorder = NativeRecorder::Create(std::make_unique<FakeComponentFactory>(m_world));
        Gate destroyGate;
        m_world->screenDestroyGate = &destroyGate;
        ASSERT_TRUE(Start());
        const auto begin = Clock::now();
        if (byDestructor) {
            m_recorder.reset();
        } else {
            m_recorder->Stop();
        }
        EXPECT_LT(Clock::now() - begin, 1500ms);
        EXPECT_TRUE(m_world->finalized);
        EXPECT_GE(m_log.Count("[NativeRecorder] WARNING: Component teardown timed out after "
                              "500ms: it finishes in the background"),
                  1);
        EXPECT_EQ(m_world->encoderDestroyed, 0) << "destroyed after the screen, in order";
        destroyGate.Open();
        for (int i = 0; i < 200 && m_world->encoderDestroyed == 0; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_EQ(m_world->screenDestroyed, 1);
        EXPECT_EQ(m_world->encoderDestroyed, 1);
    }
}

// A file system that stops taking data mid-finalisation is given up on after a second of no
// writes; one that writes slowly is waited for.
TEST_F(HungPartsTest, FinalizeThatWritesNothingIsAbandonedAfterASecond) {
    m_world->finalizeDuration = 3s;
    m_world->finalizeWrites = false;
    ASSERT_TRUE(Start());
    std::atomic<bool> stopped{false};
    m_recorder->RecordingStopped([&](NativeRecorder&, const std::string&) { stopped = true; });
    const auto took = TimedStop();
    EXPECT_GE(took, 1000ms);
    EXPECT_LT(took, 1500ms);
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(m_world->finalized) << "still running in the background";
    EXPECT_EQ(m_log.Count("[NativeRecorder] STEP 11: WARNING: Encoder finalize wrote nothing for "
                          "1000ms \xE2\x80\x94 abandoning it; the file keeps what was written"),
              1);
    // The encoder goes once its finalisation has returned, not under it.
    m_recorder.reset();
    for (int i = 0; i < 400 && m_world->encoderDestroyed == 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(m_world->finalized);
    EXPECT_EQ(m_world->encoderDestroyed, 1);
}

}  // namespace
}  // namespace tamro::test
