#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "capture/FrameSlots.h"
#include "capture/ScreenCapture.h"
#include "platform/display/SyntheticDisplay.h"
#include "platform/display/SyntheticScene.h"
#include "platform/system/SteadyClock.h"
#include "support/LogCapture.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

using namespace std::chrono_literals;
using platform::SyntheticDisplay;

struct Delivery {
    uint32_t width;
    uint32_t height;
    int64_t timestamp;
    int64_t atNs;
    uint32_t firstPixel;
    uint64_t content;
};

// Records what the capture delivers.
class Recorder {
  public:
    FrameCallback Callback() {
        return [this](gfx::Texture* texture, int64_t timestamp) {
            std::lock_guard lock(m_mutex);
            m_deliveries.push_back(
                {texture->Width(), texture->Height(), timestamp, platform::SteadyClockNs(),
                 *reinterpret_cast<uint32_t*>(texture->Row(0)), texture->ContentId()});
        };
    }
    std::vector<Delivery> Deliveries() const {
        std::lock_guard lock(m_mutex);
        return m_deliveries;
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<Delivery> m_deliveries;
};

SyntheticDisplay::Options StillScreen() {
    SyntheticDisplay::Options options;
    options.changeRate = 0.0;
    options.drawCursor = false;
    options.painter = [](gfx::Texture& texture, platform::FrameSize size, int64_t, uint64_t) {
        platform::SyntheticScene::FillRect(texture, 0, 0, size.width, size.height, 0xFF102030);
        platform::SyntheticScene::FillRect(texture, 10, 10, 1, 1, 0xFFABCDEF);
    };
    return options;
}

TEST(ScreenCaptureTest, StartRulesAndIdempotentStop) {
    test::LogCapture log;
    auto display = SyntheticDisplay::Create(StillScreen());
    ScreenCapture capture(display);
    ASSERT_TRUE(capture.HasDevice());
    EXPECT_FALSE(capture.Start([](gfx::Texture*, int64_t) {}));
    EXPECT_EQ(capture.LastError(), "Capture item is missing");
    capture.Stop();

    ASSERT_TRUE(capture.InitializeForMonitor(0));
    EXPECT_EQ(capture.Width(), 1920u);
    EXPECT_EQ(capture.Height(), 1080u);
    display->FailNextSessionStart(static_cast<int32_t>(0x80070005));
    EXPECT_FALSE(capture.Start([](gfx::Texture*, int64_t) {}));
    EXPECT_EQ(
        capture.LastError().rfind(
            "[ScreenCapture] Start failed during starting capture session: HRESULT=0x80070005", 0),
        0u);
    ASSERT_TRUE(capture.Start([](gfx::Texture*, int64_t) {})) << "a failed start can be retried";
    EXPECT_EQ(capture.LastError(), "");
    EXPECT_FALSE(capture.Start([](gfx::Texture*, int64_t) {}));
    EXPECT_EQ(capture.LastError(), "Screen capture is already active");
    capture.Stop();
    capture.Stop();
    EXPECT_FALSE(capture.Start([](gfx::Texture*, int64_t) {})) << "Stop releases the item";
    EXPECT_TRUE(log.Contains("[ScreenCapture] Start: creating frame pool for 1920x1080, cursor=1"));
    EXPECT_TRUE(log.Contains("[ScreenCapture] Start: capture started"));
}

TEST(ScreenCaptureTest, UnknownSourcesAndBrokenDevices) {
    test::LogCapture log;
    ScreenCapture capture(SyntheticDisplay::Create());
    EXPECT_FALSE(capture.InitializeForMonitor(777));
    EXPECT_TRUE(log.Contains("[ScreenCapture] CreateForMonitor failed: 0x80070057"));
    EXPECT_FALSE(capture.InitializeForWindow(0x123456));

    std::vector<gfx::DriverType> tried;
    ScreenCapture warpOnly(SyntheticDisplay::Create(), [&](gfx::DriverType type, int32_t* result) {
        tried.push_back(type);
        *result = kFail;
        return type == gfx::DriverType::kWarp ? gfx::Device::Create(type) : nullptr;
    });
    EXPECT_TRUE(warpOnly.HasDevice());
    EXPECT_EQ(tried, (std::vector{gfx::DriverType::kHardware, gfx::DriverType::kWarp}));

    ScreenCapture none(SyntheticDisplay::Create(), [](gfx::DriverType, int32_t* result) {
        *result = kFail;
        return std::shared_ptr<gfx::Device>();
    });
    EXPECT_FALSE(none.HasDevice());
    EXPECT_TRUE(log.Contains("[ScreenCapture] Failed to create D3D11 device"));
    ASSERT_TRUE(none.InitializeForMonitor(0));
    EXPECT_FALSE(none.Start([](gfx::Texture*, int64_t) {}));
    EXPECT_EQ(none.LastError(),
              "[ScreenCapture] Start failed during creating frame pool: HRESULT=0x80004005, "
              "message=Unspecified error\n");
}

// The count follows the slot clock, not the scheduler: a loaded machine fills late slots with
// repeats instead of leaving them out.
TEST(ScreenCaptureTest, OneFramePerSlotOnTheGridForStillAndBusyScreens) {
    for (const auto& [changeRate, fps] : {std::tuple{0.0, 30u}, {100.0, 30u}, {100.0, 10u}}) {
        SCOPED_TRACE(testing::Message() << changeRate << " Hz changes at " << fps << " fps");
        auto options = StillScreen();
        options.changeRate = changeRate;
        ScreenCapture capture(SyntheticDisplay::Create(options));
        Recorder recorder;
        ASSERT_TRUE(capture.InitializeForMonitor(0));
        capture.SetFrameRate(fps);
        const int64_t originNs = platform::SteadyClockNs();
        capture.SetSessionStartTime(originNs);
        ASSERT_TRUE(capture.Start(recorder.Callback()));
        std::this_thread::sleep_for(1500ms);
        capture.Stop();
        const int64_t stoppedNs = platform::SteadyClockNs();
        const auto deliveries = recorder.Deliveries();
        FrameSlots slots(fps);
        slots.Start(originNs);
        for (size_t k = 0; k < deliveries.size(); ++k)
            ASSERT_EQ(deliveries[k].timestamp, slots.Timestamp(k)) << k;
        // Every slot that closed before Stop, give or take the one in progress.
        const auto closed = static_cast<double>(stoppedNs - originNs) * fps / 1e9;
        EXPECT_NEAR(static_cast<double>(deliveries.size()), closed, 2.0);
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(recorder.Deliveries().size(), deliveries.size()) << "nothing after Stop";
    }
}

// A consumer that stalls now and then delays deliveries, never the time a picture stands for:
// each slot shows a picture taken by its close, the nearest one while the consumer keeps up, and
// the stalled slots are counted as late.
TEST(ScreenCaptureTest, PicturesKeepTheirTimeWhenTheConsumerStalls) {
    auto options = StillScreen();
    options.changeRate = 120.0;
    options.painter = [](gfx::Texture& texture, platform::FrameSize, int64_t, uint64_t) {
        const int64_t now = platform::SteadyClockNs();
        std::memcpy(texture.Row(0), &now, sizeof now);
    };
    ScreenCapture capture(SyntheticDisplay::Create(options));
    std::mutex mutex;
    std::vector<std::pair<int64_t, int64_t>> shown;  // timestamp, when the picture was taken
    ASSERT_TRUE(capture.InitializeForMonitor(0));
    const int64_t originNs = platform::SteadyClockNs();
    capture.SetSessionStartTime(originNs);
    ASSERT_TRUE(capture.Start([&](gfx::Texture* texture, int64_t timestamp) {
        int64_t taken = 0;
        std::memcpy(&taken, texture->Row(0), sizeof taken);
        std::lock_guard lock(mutex);
        shown.emplace_back(timestamp, taken);
        if (shown.size() % 10 == 5)
            std::this_thread::sleep_for(120ms);
    }));
    std::this_thread::sleep_for(1500ms);
    capture.Stop();

    FrameSlots slots(30);
    slots.Start(originNs);
    std::vector<int64_t> offsets;
    std::lock_guard lock(mutex);
    ASSERT_GT(shown.size(), 30u);
    for (size_t k = 0; k < shown.size(); ++k) {
        ASSERT_EQ(shown[k].first, slots.Timestamp(k)) << "no slot left out or doubled";
        // The first picture also stands for the slots that closed before it was taken.
        if (shown[k].second == shown.front().second)
            continue;
        EXPECT_LE(shown[k].second, slots.CloseNs(k)) << "a picture from after its slot, " << k;
        offsets.push_back(std::abs(shown[k].second - slots.InstantNs(k)));
    }
    std::sort(offsets.begin(), offsets.end());
    EXPECT_LT(offsets[offsets.size() / 2], 20'000'000) << "most within half a slot";
    EXPECT_GE(capture.LateFrames(), 2u);
}

TEST(ScreenCaptureTest, PauseLeavesNoHoleInTheTimeLine) {
    ScreenCapture capture(SyntheticDisplay::Create(StillScreen()));
    Recorder recorder;
    ASSERT_TRUE(capture.InitializeForMonitor(0));
    const int64_t originNs = platform::SteadyClockNs();
    capture.SetSessionStartTime(originNs);
    ASSERT_TRUE(capture.Start(recorder.Callback()));
    std::this_thread::sleep_for(200ms);
    const int64_t pausedNs = platform::SteadyClockNs();
    capture.SetPaused(true);
    std::this_thread::sleep_for(50ms);
    const size_t beforePause = recorder.Deliveries().size();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(recorder.Deliveries().size(), beforePause);
    const int64_t resumedNs = platform::SteadyClockNs();
    capture.SetPaused(false);
    std::this_thread::sleep_for(200ms);
    capture.Stop();
    const int64_t recordedNs = platform::SteadyClockNs() - originNs - (resumedNs - pausedNs);
    const auto deliveries = recorder.Deliveries();
    ASSERT_GT(deliveries.size(), beforePause + 3);
    FrameSlots slots(30);
    for (size_t k = 0; k < deliveries.size(); ++k)
        ASSERT_EQ(deliveries[k].timestamp, slots.Timestamp(k)) << k;
    EXPECT_NEAR(static_cast<double>(deliveries.size()), recordedNs * 30 / 1e9, 2.0)
        << "the pause is left out of the count";
}

TEST(ScreenCaptureTest, CropCutsTheRegionAndOutOfBoundsFramesGoOutWhole) {
    test::LogCapture log;
    auto display = SyntheticDisplay::Create(StillScreen());
    ScreenCapture capture(display);
    Recorder recorder;
    ASSERT_TRUE(capture.InitializeForMonitor(0));
    capture.SetCropRegion(10, 10, 201, 120);
    EXPECT_EQ(capture.CurrentCrop(), (CropBox{10, 10, 200, 120}));
    ASSERT_TRUE(capture.Start(recorder.Callback()));
    std::this_thread::sleep_for(150ms);
    auto deliveries = recorder.Deliveries();
    ASSERT_FALSE(deliveries.empty());
    EXPECT_EQ(deliveries.front().width, 200u);
    EXPECT_EQ(deliveries.front().height, 120u);
    EXPECT_EQ(deliveries.front().firstPixel, 0xFFABCDEFu) << "(10, 10) of the screen";
    capture.SetCropRegion(0, 0, 0, 0);
    EXPECT_EQ(capture.CurrentCrop(), std::nullopt);
    capture.Stop();

    // A window is smaller than the monitor the crop is clamped to: the box can miss the frame.
    const uint64_t window = display->AddWindow({.title = "small", .width = 640, .height = 480});
    ScreenCapture windowCapture(display);
    Recorder windowRecorder;
    ASSERT_TRUE(windowCapture.InitializeForWindow(window));
    windowCapture.SetCropRegion(600, 400, 400, 300);
    ASSERT_TRUE(windowCapture.Start(windowRecorder.Callback()));
    std::this_thread::sleep_for(150ms);
    windowCapture.Stop();
    ASSERT_FALSE(windowRecorder.Deliveries().empty());
    EXPECT_EQ(windowRecorder.Deliveries().front().width, 640u);
    EXPECT_TRUE(log.Contains(
        "[ScreenCapture] Crop BOUNDS INVALID #1: box=(600,400,1000,700), src=640x480"));
}

// A zoom on a screen that does not change: the repeats follow the crop as it moves and ends, and
// say which picture they are, so that the encoder repeats its work only while nothing changes.
TEST(ScreenCaptureTest, RepeatsOfAStillScreenFollowTheCrop) {
    ScreenCapture capture(SyntheticDisplay::Create(StillScreen()));
    Recorder recorder;
    ASSERT_TRUE(capture.InitializeForMonitor(0));
    ASSERT_TRUE(capture.Start(recorder.Callback()));
    std::this_thread::sleep_for(150ms);
    capture.SetCropRegion(10, 10, 400, 300);
    std::this_thread::sleep_for(150ms);
    capture.SetCropRegion(0, 0, 0, 0);
    std::this_thread::sleep_for(150ms);
    capture.Stop();
    const auto deliveries = recorder.Deliveries();
    ASSERT_GT(deliveries.size(), 8u);
    EXPECT_EQ(deliveries.front().width, 1920u);
    const auto cropped = std::find_if(deliveries.begin(), deliveries.end(),
                                      [](const Delivery& d) { return d.width == 400; });
    ASSERT_NE(cropped, deliveries.end()) << "the crop never reached a repeat";
    EXPECT_EQ(cropped->height, 300u);
    EXPECT_EQ(cropped->firstPixel, 0xFFABCDEFu) << "(10, 10) of the screen";
    EXPECT_EQ(deliveries.back().width, 1920u) << "and the whole screen once it ended";
    EXPECT_NE(deliveries.front().content, 0u);
    EXPECT_EQ(deliveries[1].content, deliveries.front().content) << "a repeat";
    EXPECT_NE(cropped->content, deliveries.front().content);
    EXPECT_NE(deliveries.back().content, cropped->content);
    EXPECT_NE(deliveries.back().content, deliveries.front().content) << "not the old picture";
}

TEST(ScreenCaptureTest, RepeatsAfterTheScreenStopsShowTheNewestFrameWithAndWithoutCrop) {
    for (const bool crop : {false, true}) {
        SCOPED_TRACE(crop ? "cropped" : "whole");
        SyntheticDisplay::Options options = StillScreen();
        options.changeRate = 60.0;
        options.painter = [](gfx::Texture& texture, platform::FrameSize, int64_t, uint64_t index) {
            platform::SyntheticScene::FillRect(texture, 0, 0, 1, 1,
                                               0xFF000000u | static_cast<uint32_t>(index));
        };
        auto display = SyntheticDisplay::Create(options);
        ScreenCapture capture(display);
        Recorder recorder;
        ASSERT_TRUE(capture.InitializeForMonitor(0));
        if (crop)
            capture.SetCropRegion(0, 0, 320, 200);
        ASSERT_TRUE(capture.Start(recorder.Callback()));
        std::this_thread::sleep_for(300ms);
        display->SetChangeRate(0.0);
        std::this_thread::sleep_for(100ms);
        const size_t still = recorder.Deliveries().size();
        std::this_thread::sleep_for(300ms);
        capture.Stop();

        const auto deliveries = recorder.Deliveries();
        ASSERT_GT(deliveries.size(), still + 5);
        uint32_t newest = 0;
        for (size_t i = 0; i < still; ++i)
            newest = std::max(newest, deliveries[i].firstPixel);
        for (size_t i = still; i < deliveries.size(); ++i) {
            EXPECT_EQ(deliveries[i].firstPixel, deliveries[still].firstPixel);
            EXPECT_GE(deliveries[i].firstPixel, newest);
        }
    }
}

TEST(ScreenCaptureTest, HangingCloseIsAbandonedAfter500ms) {
    test::LogCapture log;
    auto display = SyntheticDisplay::Create(StillScreen());
    display->SetCloseDelay(3000ms);
    ScreenCapture capture(display);
    ASSERT_TRUE(capture.InitializeForMonitor(0));
    ASSERT_TRUE(capture.Start([](gfx::Texture*, int64_t) {}));
    const auto start = std::chrono::steady_clock::now();
    capture.Stop();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 450ms);
    EXPECT_LT(took, 1500ms);
    EXPECT_TRUE(log.Contains("[ScreenCapture] WARNING: Close timed out after 500ms"));
}

TEST(ScreenCaptureTest, ThrowingCallbackSkipsFramesAndHungCallbackOutlivesStopSafely) {
    test::LogCapture log;
    std::atomic<int> calls{0};
    {
        ScreenCapture capture(SyntheticDisplay::Create(StillScreen()));
        ASSERT_TRUE(capture.InitializeForMonitor(0));
        ASSERT_TRUE(capture.Start([&](gfx::Texture*, int64_t) {
            if (++calls == 1)
                throw std::runtime_error("bad frame");
        }));
        std::this_thread::sleep_for(200ms);
        capture.Stop();
    }
    EXPECT_GT(calls.load(), 2) << "capture goes on after a failing callback";
    EXPECT_TRUE(log.Contains("[ScreenCapture] Frame callback SEH EXCEPTION! Skipping frame."));

    // A callback that blocks: Stop gives up on the pacer after 500 ms, and destruction waits for
    // it instead of freeing the object under it.
    std::atomic<bool> release{false};
    std::atomic<bool> inside{false};
    auto capture = std::make_unique<ScreenCapture>(SyntheticDisplay::Create(StillScreen()));
    ASSERT_TRUE(capture->InitializeForMonitor(0));
    ASSERT_TRUE(capture->Start([&](gfx::Texture*, int64_t) {
        inside = true;
        while (!release)
            std::this_thread::sleep_for(5ms);
    }));
    while (!inside)
        std::this_thread::sleep_for(5ms);
    std::thread releaser([&] {
        std::this_thread::sleep_for(1200ms);
        release = true;
    });
    capture->Stop();
    capture.reset();
    releaser.join();
    EXPECT_TRUE(release.load()) << "destroyed only after the callback returned";
}

}  // namespace
}  // namespace tamro
