#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/RecorderTest.h"

namespace tamro::test {
namespace {

// The file takes the size of what is captured: neither width nor height is given.
class CaptureRegionTest : public RecorderTest {
  protected:
    CaptureRegionTest() {
        m_config.CaptureMode(2);
        m_config.Width(0);
        m_config.Height(-1);
    }
};

TEST_F(CaptureRegionTest, RegionOffTheMonitorIsRefusedBeforeTheFileIsMade) {
    // Desktop coordinates given by mistake: the monitor's own pixels end at 1280.
    m_config.CaptureRegion({.X = 1920, .Y = 100, .Width = 640, .Height = 480});
    const std::string refusal =
        "Region 1920,100 640x480 is outside monitor 1920,0 1280x720 (region relative to the "
        "monitor's top-left corner; at least 100x100 must lie on it)";
    for (const bool prepare : {false, true}) {
        SCOPED_TRACE(prepare ? "PrepareAsync" : "StartAsync");
        Renew();
        const bool done = prepare ? m_recorder->PrepareAsync(m_config)->Get() : Start();
        EXPECT_FALSE(done);
        EXPECT_EQ(Errors(), std::vector<std::string>{refusal});
        EXPECT_TRUE(m_log.Contains(std::string("[NativeRecorder] ") +
                                   (prepare ? "PrepareAsync: " : "") + refusal));
        EXPECT_FALSE(m_recorder->IsRecording());
        EXPECT_FALSE(m_recorder->IsPrepared());
        EXPECT_FALSE(m_world->encoderSettings) << "no encoder, so no file";
        EXPECT_TRUE(m_world->cropRegions.empty());
    }
}

TEST_F(CaptureRegionTest, RegionPartlyOffTheMonitorRecordsWhatLiesOnIt) {
    m_config.CaptureRegion({.X = 1000, .Y = -20, .Width = 641, .Height = 300});
    ASSERT_TRUE(Start());
    EXPECT_EQ(m_world->cropRegions, (std::vector<std::vector<int32_t>>{{1000, 0, 280, 280}}));
    EXPECT_EQ(m_world->encoderSettings->width, 280u);
    EXPECT_EQ(m_world->encoderSettings->height, 280u);
    EXPECT_TRUE(
        m_log.Contains("[NativeRecorder] Region 1000,-20 641x300 clamped to 1000,0 280x280 "
                       "to fit monitor 1920,0 1280x720"));
    EXPECT_TRUE(Errors().empty());
    m_recorder->Stop();
}

}  // namespace
}  // namespace tamro::test
