#include <gtest/gtest.h>

#include "capture/FrameSlots.h"
#include "capture/ScreenCapture.h"
#include "support/LogCapture.h"

namespace tamro {
namespace {

constexpr int64_t kMs = 1'000'000;

TEST(CropClampTest, ClampsToTheSourceAndEvenSizes) {
    test::LogCapture log;
    EXPECT_EQ(ScreenCapture::ClampCrop(-50, -50, 400, 300, 1920, 1080), (CropBox{0, 0, 400, 300}));
    EXPECT_EQ(ScreenCapture::ClampCrop(10, 10, 801, 601, 1920, 1080), (CropBox{10, 10, 800, 600}));
    EXPECT_EQ(ScreenCapture::ClampCrop(1800, 1000, 400, 300, 1920, 1080),
              std::nullopt);  // 120 x 80 left
    EXPECT_EQ(ScreenCapture::ClampCrop(1820, 980, 400, 300, 1920, 1080),
              (CropBox{1820, 980, 100, 100}));
    EXPECT_EQ(ScreenCapture::ClampCrop(1900, 0, 400, 300, 1920, 1080), std::nullopt);
    EXPECT_TRUE(
        log.Contains("[ScreenCapture] Crop region too small after clamping: 20x300, ignoring"));
}

TEST(FrameSlotsTest, SlotsLieOnTheGridOfTheRateWithoutDrift) {
    for (const uint32_t fps : {1u, 7u, 30u, 60u, 120u}) {
        SCOPED_TRACE(fps);
        FrameSlots slots(fps);
        slots.Start(5'000 * kMs);
        EXPECT_EQ(slots.Timestamp(0), 0);
        EXPECT_EQ(slots.Timestamp(fps), 10'000'000) << "one second after fps slots";
        EXPECT_EQ(slots.Timestamp(3600ull * fps), 36'000'000'000) << "and an hour after";
        EXPECT_EQ(slots.InstantNs(3600ull * fps), 5'000 * kMs + 3'600'000 * kMs);
        EXPECT_EQ(slots.CloseNs(0), 5'000 * kMs + slots.PeriodNs() / 2);
    }
    FrameSlots thirty(30);
    thirty.Start(0);
    EXPECT_EQ(thirty.Timestamp(1), 333'333);
    EXPECT_EQ(thirty.Timestamp(2), 666'666);
    EXPECT_EQ(FrameSlots(0).Fps(), 1u);
    EXPECT_EQ(FrameSlots(240).Fps(), 120u);
}

TEST(FrameSlotsTest, APauseMovesTheInstantsButNotTheTimeLine) {
    FrameSlots slots(30);
    slots.Start(0);
    for (int i = 0; i < 10; ++i)
        slots.Advance();
    const int64_t before = slots.InstantNs(10);
    slots.Pause(300 * kMs);
    EXPECT_TRUE(slots.Paused());
    slots.Pause(400 * kMs);  // a second pause call keeps the first instant
    slots.Resume(800 * kMs);
    EXPECT_FALSE(slots.Paused());
    EXPECT_EQ(slots.InstantNs(10), before + 500 * kMs);
    EXPECT_EQ(slots.Timestamp(slots.Next()), slots.Timestamp(10)) << "no hole in the time line";
    slots.Resume(900 * kMs);  // not paused: nothing moves
    EXPECT_EQ(slots.InstantNs(10), before + 500 * kMs);
    slots.Advance();
    slots.Retake();  // a delivery refused as a pause began: the slot is filled again
    EXPECT_EQ(slots.Next(), 10u);

    // A stall too long to fill: the next slot is shown as of now.
    slots.SkipTo(60'000 * kMs);
    EXPECT_EQ(slots.InstantNs(10), 60'000 * kMs);
    EXPECT_EQ(slots.Timestamp(10), 3'333'333);
}

TEST(PictureForSlotTest, TheNewestPictureTakenByTheCloseElseTheOneShownElseTheFirst) {
    using Taken = ScreenCapture::TakenFrame;
    const std::deque<Taken> recent{{nullptr, 100, 7}, {nullptr, 130, 8}};
    const Taken shown{nullptr, 70, 6};
    EXPECT_EQ(ScreenCapture::PictureForSlot(recent, shown, 140)->serial, 8u);
    EXPECT_EQ(ScreenCapture::PictureForSlot(recent, shown, 130)->serial, 8u);
    // Handled late, after a newer picture came: the slot still shows the screen of its time.
    EXPECT_EQ(ScreenCapture::PictureForSlot(recent, shown, 120)->serial, 7u);
    EXPECT_EQ(ScreenCapture::PictureForSlot(recent, shown, 90)->serial, 6u);
    // Nothing shown yet: the session's first picture stands for the moments before it.
    EXPECT_EQ(ScreenCapture::PictureForSlot(recent, Taken{}, 90)->serial, 7u);
    EXPECT_EQ(ScreenCapture::PictureForSlot({}, Taken{}, 90), nullptr);
}

}  // namespace
}  // namespace tamro
