#include <gtest/gtest.h>

#include <vector>

#include "capture/FocusRect.h"
#include "session/RecorderTest.h"

namespace tamro::test {
namespace {

class CursorFocusControlTest : public RecorderTest {
  protected:
    CursorFocusControlTest() {
        m_recorder->CursorFocusChanged(
            [this](NativeRecorder&, const bool& active) { m_events.push_back(active); });
    }

    std::vector<bool> m_events;
};

TEST_F(CursorFocusControlTest, ToggleChangesFocusOnceOnlyWhileRecordingAndContainsFaults) {
    m_recorder->ToggleCursorFocus(true);
    EXPECT_FALSE(m_recorder->IsCursorFocusActive()) << "not recording";
    ASSERT_TRUE(Start());
    m_recorder->ToggleCursorFocus(true);
    m_recorder->ToggleCursorFocus(true);
    m_recorder->ToggleCursorFocus(false);
    EXPECT_EQ(m_world->focusRequests, (std::vector<bool>{true, false}));
    EXPECT_EQ(m_events, (std::vector<bool>{true, false}));
    EXPECT_FALSE(m_recorder->IsCursorFocusActive());

    m_recorder->PulseAtCursor();
    EXPECT_EQ(m_world->pulses, 1);
    EXPECT_EQ(m_world->focusRequests.size(), 2u) << "a pulse does not switch focus";
    EXPECT_EQ(m_events.size(), 2u);

    // A fault in the focus machinery is contained.
    m_world->focusThrows = true;
    m_recorder->ToggleCursorFocus(true);
    EXPECT_TRUE(
        m_log.Contains("[NativeRecorder] ToggleCursorFocus exception: focus machinery "
                       "failed"));
    EXPECT_TRUE(m_recorder->IsCursorFocusActive()) << "the requested state is kept";
    EXPECT_EQ(m_events.size(), 2u);

    m_recorder->Stop();
    m_recorder->PulseAtCursor();
    EXPECT_EQ(m_world->pulses, 1);
}

TEST_F(CursorFocusControlTest, FocusRectangleIsCroppedFromTheMonitorOrigin) {
    ASSERT_TRUE(Start());
    const CropCallback crop = m_world->cropCallback;
    ASSERT_TRUE(crop);
    crop(FocusRect{2100, 120, 960, 540});  // on the monitor at (1920, 0)
    ASSERT_FALSE(m_world->cropRegions.empty());
    EXPECT_EQ(m_world->cropRegions.back(), (std::vector<int32_t>{180, 120, 960, 540}));

    m_recorder->SetCropRegion(CaptureRect{10, 20, 640, 360});
    EXPECT_EQ(m_world->cropRegions.back(), (std::vector<int32_t>{10, 20, 640, 360}))
        << "a direct crop is in capture coordinates already";

    const size_t before = m_world->cropRegions.size();
    m_recorder->Stop();
    crop(FocusRect{2100, 120, 960, 540});
    EXPECT_EQ(m_world->cropRegions.size(), before) << "no crop once the stop has begun";
}

}  // namespace
}  // namespace tamro::test
