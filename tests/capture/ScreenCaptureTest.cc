#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "capture/FrameSlots.h"
#include "capture/ScreenCapture.h"
#include "capture/ScriptedDisplay.h"
#include "platform/display/SyntheticDisplay.h"
#include "platform/display/SyntheticScene.h"
#include "platform/system/ManualClock.h"
#include "support/LogCapture.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

using namespace std::chrono_literals;
using platform::SyntheticDisplay;

constexpr int64_t kMs = 1'000'000;
constexpr uint32_t kMarker = 0xFFABCDEF;  // at (10, 10) of every picture

struct Delivery {
    uint32_t width;
    uint32_t height;
    int64_t timestamp;
    int64_t atNs;
    uint32_t firstPixel;
    uint64_t content;
};

// Records what the capture delivers, and when on `clock`.
class Recorder {
  public:
    explicit Recorder(std::shared_ptr<const platform::Clock> clock) : m_clock(std::move(clock)) {}
    FrameCallback Callback() {
        return [this](gfx::Texture* texture, int64_t timestamp) {
            std::lock_guard lock(m_mutex);
            m_deliveries.push_back({texture->Width(), texture->Height(), timestamp,
                                    m_clock->NowNs(), *reinterpret_cast<uint32_t*>(texture->Row(0)),
                                    texture->ContentId()});
        };
    }
    std::vector<Delivery> Deliveries() const {
        std::lock_guard lock(m_mutex);
        return m_deliveries;
    }

  private:
    const std::shared_ptr<const platform::Clock> m_clock;
    mutable std::mutex m_mutex;
    std::vector<Delivery> m_deliveries;
};

SyntheticDisplay::Options StillScreen() {
    SyntheticDisplay::Options options;
    options.changeRate = 0.0;
    options.drawCursor = false;
    options.painter = [](gfx::Texture& texture, platform::FrameSize size, int64_t, uint64_t) {
        platform::SyntheticScene::FillRect(texture, 0, 0, size.width, size.height, 0xFF102030);
        platform::SyntheticScene::FillRect(texture, 10, 10, 1, 1, kMarker);
    };
    return options;
}

// Pictures taken every `periodNs` from 1 ms into the session (never on a slot's close, where the
// order of a picture and the close would be a tie).
struct Pictures {
    int64_t periodNs;
    int64_t untilNs;
    int64_t At(int64_t index) const { return kMs + index * periodNs; }
};

// A capture of the synthetic desktop on simulated time: the test takes the pictures and moves
// the clock; times are from the session's start.
class SimulatedCapture {
  public:
    explicit SimulatedCapture(SyntheticDisplay::Options options = StillScreen())
        : desktop(SyntheticDisplay::Create(std::move(options))) {}

    bool StartMonitor(uint32_t fps = 30, FrameCallback callback = {}) {
        return capture.InitializeForMonitor(0) && Start(fps, std::move(callback));
    }
    // Starts what the capture was initialised for.
    bool Start(uint32_t fps = 30, FrameCallback callback = {}) {
        m_slots = FrameSlots(fps);
        m_slots.Start(originNs);
        capture.SetFrameRate(fps);
        capture.SetSessionStartTime(originNs);
        return capture.Start(callback ? std::move(callback) : recorder.Callback());
    }
    // A picture numbered `number` (its colour), taken at `ns`; returns once the pacer waits for
    // its next slot. False when the display dropped it, as one does with every buffer held.
    bool Show(int64_t ns, uint32_t number) {
        const bool published = display->Publish(originNs + ns, [number](gfx::Texture& texture) {
            platform::SyntheticScene::FillRect(texture, 0, 0, texture.Width(), texture.Height(),
                                               0xFF000000 | number);
            platform::SyntheticScene::FillRect(texture, 10, 10, 1, 1, kMarker);
        });
        if (published)
            m_shown.emplace_back(ns, number);
        EXPECT_TRUE(clock->AwaitTimedWaiters(1));
        return published;
    }
    void RunTo(int64_t ns) { ASSERT_TRUE(clock->AdvanceTo(originNs + ns)); }
    // Shows `pictures` as the clock runs to `ns`; returns how many were dropped.
    int Play(const Pictures& pictures, int64_t ns) {
        int dropped = 0;
        for (int64_t i = 0; pictures.At(i) < std::min(ns, pictures.untilNs); ++i) {
            RunTo(pictures.At(i));
            dropped += Show(pictures.At(i), static_cast<uint32_t>(i)) ? 0 : 1;
        }
        RunTo(ns);
        return dropped;
    }
    // The number of the last picture shown by `ns`, or of the first when none was.
    uint32_t NewestShownBy(int64_t ns) const {
        uint32_t newest = m_shown.empty() ? 0 : m_shown.front().second;
        for (const auto& [shownNs, number] : m_shown) {
            if (shownNs <= ns)
                newest = number;
        }
        return newest;
    }
    // From the session's start.
    int64_t CloseNs(uint64_t slot) const { return m_slots.CloseNs(slot) - originNs; }
    int64_t Timestamp(uint64_t slot) const { return m_slots.Timestamp(slot); }
    size_t SlotsClosedBy(int64_t ns) const {
        size_t count = 0;
        while (CloseNs(count) <= ns)
            ++count;
        return count;
    }

    const std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
    const int64_t originNs = clock->NowNs();
    Recorder recorder{clock};
    const std::shared_ptr<SyntheticDisplay> desktop;
    const std::shared_ptr<test::ScriptedDisplay> display =
        std::make_shared<test::ScriptedDisplay>(desktop);
    ScreenCapture capture{display, &gfx::Device::Create, clock};

  private:
    FrameSlots m_slots;
    std::vector<std::pair<int64_t, uint32_t>> m_shown;  // test thread only
};

// A thread that waits `ns` of simulated time: a consumer that stalls.
void Stall(platform::Clock& clock, int64_t ns) {
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    clock.WaitUntil(lock, never, clock.NowNs() + ns, [] { return false; });
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

// Each slot is delivered as it closes, stamped on the grid, with the newest picture taken by then;
// nothing comes after Stop.
TEST(ScreenCaptureTest, OneFramePerSlotOnTheGridForStillAndBusyScreens) {
    constexpr int64_t kRunNs = 1500 * kMs;
    for (const auto& [changeRate, fps] : {std::tuple{0, 30u}, {100, 30u}, {100, 10u}}) {
        SCOPED_TRACE(testing::Message() << changeRate << " Hz changes at " << fps << " fps");
        SimulatedCapture sim;
        ASSERT_TRUE(sim.StartMonitor(fps));
        const Pictures pictures{changeRate ? 1'000'000'000 / changeRate : kRunNs, kRunNs};
        EXPECT_EQ(sim.Play(pictures, kRunNs), 0);
        sim.capture.Stop();
        const auto deliveries = sim.recorder.Deliveries();
        ASSERT_EQ(deliveries.size(), sim.SlotsClosedBy(kRunNs));
        for (size_t k = 0; k < deliveries.size(); ++k) {
            SCOPED_TRACE(k);
            EXPECT_EQ(deliveries[k].timestamp, sim.Timestamp(k));
            EXPECT_EQ(deliveries[k].atNs - sim.originNs, sim.CloseNs(k));
            EXPECT_EQ(deliveries[k].firstPixel & 0xFFFFFF, sim.NewestShownBy(sim.CloseNs(k)));
        }
        sim.RunTo(kRunNs + 500 * kMs);
        EXPECT_EQ(sim.recorder.Deliveries().size(), deliveries.size()) << "nothing after Stop";
    }
}

// A capture whose item or display goes away says why, once it happens and until the next start.
TEST(ScreenCaptureTest, AnItemOrDisplayThatGoesAwayIsSaid) {
    for (const auto& [why, text] :
         {std::pair{platform::CaptureEnd::kItemClosed, "the recorded window was closed"},
          std::pair{platform::CaptureEnd::kConnectionLost, "display connection lost"}}) {
        SimulatedCapture sim;
        ASSERT_TRUE(sim.StartMonitor(30));
        EXPECT_EQ(sim.capture.CaptureEnded(), "");
        sim.display->End(why);
        EXPECT_EQ(sim.capture.CaptureEnded(), text);
        sim.capture.Stop();
        ASSERT_TRUE(sim.StartMonitor(30));
        EXPECT_EQ(sim.capture.CaptureEnded(), "") << "a new start captures again";
        sim.capture.Stop();
    }
}

// A consumer that stalls now and then delays deliveries, never the time a picture stands for:
// each slot shows a picture taken by its close, the newest one while the consumer keeps up, and
// the slots filled a period or more late with a repeat are counted as late.
TEST(ScreenCaptureTest, PicturesKeepTheirTimeWhenTheConsumerStalls) {
    constexpr int64_t kRunNs = 1500 * kMs;
    SimulatedCapture sim;
    const FrameCallback record = sim.recorder.Callback();
    int calls = 0;  // pacer thread only
    std::atomic<bool> stalling{true};
    ASSERT_TRUE(sim.StartMonitor(30, [&](gfx::Texture* texture, int64_t timestamp) {
        record(texture, timestamp);
        if (++calls % 10 == 5 && stalling)
            Stall(*sim.clock, 120 * kMs);
    }));
    const Pictures pictures{1'000'000'000 / 120, kRunNs};
    sim.Play(pictures, kRunNs);  // a stall holds every buffer, so the display drops some
    stalling = false;
    sim.RunTo(kRunNs + 120 * kMs);  // a stall still going ends, so Stop finds the pacer waiting
    sim.capture.Stop();

    const auto deliveries = sim.recorder.Deliveries();
    ASSERT_GT(deliveries.size(), 40u);
    const int64_t periodNs = FrameSlots(30).PeriodNs();
    uint64_t lateRepeats = 0;
    for (size_t k = 0; k < deliveries.size(); ++k) {
        SCOPED_TRACE(k);
        const Delivery& delivery = deliveries[k];
        const uint32_t picture = delivery.firstPixel & 0xFFFFFF;
        const int64_t closeNs = sim.CloseNs(k);
        const int64_t lateNs = delivery.atNs - sim.originNs - closeNs;
        ASSERT_EQ(delivery.timestamp, sim.Timestamp(k)) << "no slot left out or doubled";
        EXPECT_LE(pictures.At(picture), closeNs) << "a picture from after its slot";
        if (lateNs == 0) {
            EXPECT_EQ(picture, sim.NewestShownBy(closeNs));
        }
        if (lateNs >= periodNs && k > 0 && picture == (deliveries[k - 1].firstPixel & 0xFFFFFF))
            ++lateRepeats;
    }
    EXPECT_GE(lateRepeats, 4u) << "each stall spans three to four slots";
    EXPECT_EQ(sim.capture.LateFrames(), lateRepeats);
}

TEST(ScreenCaptureTest, PauseLeavesNoHoleInTheTimeLine) {
    SimulatedCapture sim;
    ASSERT_TRUE(sim.StartMonitor());
    ASSERT_TRUE(sim.Show(0, 1));
    sim.RunTo(200 * kMs);
    const size_t beforePause = sim.recorder.Deliveries().size();
    EXPECT_EQ(beforePause, sim.SlotsClosedBy(200 * kMs));
    sim.capture.SetPaused(true);
    sim.RunTo(500 * kMs);
    EXPECT_EQ(sim.recorder.Deliveries().size(), beforePause);
    sim.capture.SetPaused(false);
    ASSERT_TRUE(sim.clock->AwaitTimedWaiters(1));
    sim.RunTo(700 * kMs);
    sim.capture.Stop();

    const auto deliveries = sim.recorder.Deliveries();
    EXPECT_EQ(deliveries.size(), sim.SlotsClosedBy(400 * kMs)) << "the pause is left out";
    for (size_t k = 0; k < deliveries.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(deliveries[k].timestamp, sim.Timestamp(k));
        const int64_t pausedNs = k < beforePause ? 0 : 300 * kMs;
        EXPECT_EQ(deliveries[k].atNs - sim.originNs, sim.CloseNs(k) + pausedNs);
    }
}

TEST(ScreenCaptureTest, CropCutsTheRegionAndOutOfBoundsFramesGoOutWhole) {
    test::LogCapture log;
    {
        SimulatedCapture sim;
        ASSERT_TRUE(sim.capture.InitializeForMonitor(0));
        sim.capture.SetCropRegion(10, 10, 201, 120);
        ASSERT_TRUE(sim.Start());
        EXPECT_EQ(sim.capture.CurrentCrop(), (CropBox{10, 10, 200, 120}));
        ASSERT_TRUE(sim.Show(0, 1));
        sim.RunTo(sim.CloseNs(0));
        const auto deliveries = sim.recorder.Deliveries();
        ASSERT_EQ(deliveries.size(), 1u);
        EXPECT_EQ(deliveries.front().width, 200u);
        EXPECT_EQ(deliveries.front().height, 120u);
        EXPECT_EQ(deliveries.front().firstPixel, kMarker) << "(10, 10) of the screen";
        sim.capture.SetCropRegion(0, 0, 0, 0);
        EXPECT_EQ(sim.capture.CurrentCrop(), std::nullopt);
    }

    // A window is smaller than the monitor the crop is clamped to: the box can miss the frame.
    SimulatedCapture sim;
    const uint64_t window = sim.desktop->AddWindow({.title = "small", .width = 640, .height = 480});
    ASSERT_TRUE(sim.capture.InitializeForWindow(window));
    sim.capture.SetCropRegion(600, 400, 400, 300);
    ASSERT_TRUE(sim.Start());
    ASSERT_TRUE(sim.Show(0, 1));
    sim.RunTo(sim.CloseNs(0));
    sim.capture.Stop();
    ASSERT_EQ(sim.recorder.Deliveries().size(), 1u);
    EXPECT_EQ(sim.recorder.Deliveries().front().width, 640u);
    EXPECT_TRUE(log.Contains(
        "[ScreenCapture] Crop BOUNDS INVALID #1: box=(600,400,1000,700), src=640x480"));
}

// A zoom on a screen that does not change: the repeats follow the crop as it moves and ends, and
// say which picture they are, so that the encoder repeats its work only while nothing changes.
TEST(ScreenCaptureTest, RepeatsOfAStillScreenFollowTheCrop) {
    SimulatedCapture sim;
    ASSERT_TRUE(sim.StartMonitor());
    ASSERT_TRUE(sim.Show(0, 1));
    sim.RunTo(150 * kMs);
    sim.capture.SetCropRegion(10, 10, 400, 300);
    sim.RunTo(300 * kMs);
    sim.capture.SetCropRegion(0, 0, 0, 0);
    sim.RunTo(450 * kMs);
    sim.capture.Stop();

    const auto deliveries = sim.recorder.Deliveries();
    ASSERT_EQ(deliveries.size(), sim.SlotsClosedBy(450 * kMs));
    std::vector<uint64_t> contents;  // one a phase: whole, cropped, whole again
    for (size_t k = 0; k < deliveries.size(); ++k) {
        SCOPED_TRACE(k);
        const bool cropped = sim.CloseNs(k) > 150 * kMs && sim.CloseNs(k) <= 300 * kMs;
        EXPECT_EQ(deliveries[k].width, cropped ? 400u : 1920u);
        EXPECT_EQ(deliveries[k].height, cropped ? 300u : 1080u);
        EXPECT_EQ(deliveries[k].firstPixel, cropped ? kMarker : 0xFF000001u);
        if (k == 0 || deliveries[k].width != deliveries[k - 1].width)
            contents.push_back(deliveries[k].content);
        EXPECT_EQ(deliveries[k].content, contents.back()) << "a repeat keeps its id";
    }
    ASSERT_EQ(contents.size(), 3u);
    EXPECT_NE(contents[0], 0u);
    EXPECT_NE(contents[1], contents[0]);
    EXPECT_NE(contents[2], contents[1]);
    EXPECT_NE(contents[2], contents[0]) << "not the old picture";
}

TEST(ScreenCaptureTest, RepeatsAfterTheScreenStopsShowTheNewestFrameWithAndWithoutCrop) {
    for (const bool crop : {false, true}) {
        SCOPED_TRACE(crop ? "cropped" : "whole");
        SimulatedCapture sim;
        ASSERT_TRUE(sim.capture.InitializeForMonitor(0));
        if (crop)
            sim.capture.SetCropRegion(0, 0, 320, 200);
        ASSERT_TRUE(sim.Start());
        const Pictures pictures{1'000'000'000 / 60, 300 * kMs};
        EXPECT_EQ(sim.Play(pictures, 700 * kMs), 0);
        sim.capture.Stop();

        const auto deliveries = sim.recorder.Deliveries();
        ASSERT_EQ(deliveries.size(), sim.SlotsClosedBy(700 * kMs));
        EXPECT_EQ(deliveries.back().firstPixel & 0xFFFFFF, 17u) << "the last of 18";
        for (size_t k = 0; k < deliveries.size(); ++k) {
            SCOPED_TRACE(k);
            EXPECT_EQ(deliveries[k].width, crop ? 320u : 1920u);
            EXPECT_EQ(deliveries[k].firstPixel & 0xFFFFFF, sim.NewestShownBy(sim.CloseNs(k)));
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
    EXPECT_LT(took, 2500ms) << "short of the 3 s close, with room for a loaded machine";
    EXPECT_TRUE(log.Contains("[ScreenCapture] WARNING: Close timed out after 500ms"));
}

TEST(ScreenCaptureTest, ThrowingCallbackSkipsFramesAndHungCallbackOutlivesStopSafely) {
    test::LogCapture log;
    std::atomic<int> calls{0};
    {
        SimulatedCapture sim;
        ASSERT_TRUE(sim.StartMonitor(30, [&](gfx::Texture*, int64_t) {
            if (++calls == 1)
                throw std::runtime_error("bad frame");
        }));
        ASSERT_TRUE(sim.Show(0, 1));
        sim.RunTo(200 * kMs);
        EXPECT_EQ(static_cast<size_t>(calls.load()), sim.SlotsClosedBy(200 * kMs))
            << "capture goes on after a failing callback";
    }
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
