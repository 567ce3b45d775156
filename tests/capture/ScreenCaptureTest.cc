#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "capture/FrameSlots.h"
#include "capture/ScreenCapture.h"
#include "platform/display/QueuedFramePool.h"
#include "platform/display/SyntheticDisplay.h"
#include "platform/display/SyntheticScene.h"
#include "platform/system/ManualClock.h"
#include "support/FrameTextures.h"
#include "support/LogCapture.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

using namespace std::chrono_literals;
using platform::SyntheticDisplay;

constexpr int64_t kMs = 1'000'000;
constexpr uint32_t kMarker = 0xFFABCDEF;  // at (10, 10) of every picture

void PaintPicture(gfx::Texture& texture, uint32_t colour) {
    platform::SyntheticScene::FillRect(texture, 0, 0, texture.Width(), texture.Height(), colour);
    platform::SyntheticScene::FillRect(texture, 10, 10, 1, 1, kMarker);
}

// The synthetic desktop's monitors and windows, with frames that come only when a test publishes
// them, stamped with the instant the test chooses, so that a capture can run on simulated time.
// Threading: any thread; a published frame reaches the capture on the publishing thread.
class ScriptedDisplay final : public platform::Display {
  public:
    explicit ScriptedDisplay(std::shared_ptr<SyntheticDisplay> desktop)
        : m_desktop(std::move(desktop)) {}

    // Paints picture `number` in the newest pool's size and delivers it as taken at `capturedNs`;
    // false when there is no pool or every buffer is held.
    bool Publish(int64_t capturedNs, uint32_t number) {
        std::shared_ptr<platform::QueuedFramePool> pool;
        {
            std::lock_guard lock(m_mutex);
            pool = m_pool.lock();
        }
        std::unique_ptr<platform::PoolBuffer> buffer = pool ? pool->AcquireBuffer() : nullptr;
        if (!buffer)
            return false;
        PaintPicture(*buffer->Texture(), 0xFF000000 | number);
        const platform::FrameSize size = buffer->Size();
        pool->Publish(std::move(buffer), size, capturedNs);
        return true;
    }

    // The next session takes a picture numbered `number` as it starts, before its start returns,
    // as a session whose own thread grabs at once may.
    void PublishOnStart(int64_t capturedNs, uint32_t number) {
        *m_onStart = [this, capturedNs, number] { Publish(capturedNs, number); };
    }

    // The captured item goes away, or the display with it, as the platform would say.
    void End(platform::CaptureEnd why) {
        if (*m_ended)
            (*m_ended)(why);
    }

    std::vector<platform::MonitorInfo> Monitors() override { return m_desktop->Monitors(); }
    std::vector<platform::WindowInfo> Windows() override { return m_desktop->Windows(); }
    std::optional<platform::MonitorInfo> MonitorNearestWindow(uint64_t window) override {
        return m_desktop->MonitorNearestWindow(window);
    }
    bool IsIconic(uint64_t window) override { return m_desktop->IsIconic(window); }
    uint32_t WindowProcessId(uint64_t window) override {
        return m_desktop->WindowProcessId(window);
    }
    std::optional<platform::CursorPosition> Cursor() override { return m_desktop->Cursor(); }
    int32_t CreateItemForMonitor(uint64_t monitor,
                                 std::unique_ptr<platform::CaptureItem>* item) override {
        return m_desktop->CreateItemForMonitor(monitor, item);
    }
    int32_t CreateItemForWindow(uint64_t window,
                                std::unique_ptr<platform::CaptureItem>* item) override {
        return m_desktop->CreateItemForWindow(window, item);
    }
    int32_t CreateFramePool(const std::shared_ptr<gfx::Device>& device,
                            const platform::CaptureItem&, uint32_t bufferCount,
                            platform::FrameSize size,
                            std::shared_ptr<platform::FramePool>* pool) override {
        auto buffers = [device](platform::FrameSize bufferSize) {
            return std::make_unique<platform::PoolBuffer>(
                test::SolidFrame(*device, bufferSize.width, bufferSize.height, {}));
        };
        auto sessions = [ended = m_ended, onStart = m_onStart](
                            const platform::CaptureItem&, platform::QueuedFramePool&,
                            std::unique_ptr<platform::CaptureSession>* session) {
            *session = std::make_unique<IdleSession>(ended, std::exchange(*onStart, {}));
            return kOk;
        };
        auto queued =
            std::make_shared<platform::QueuedFramePool>(bufferCount, size, buffers, sessions);
        std::lock_guard lock(m_mutex);
        m_pool = queued;
        *pool = std::move(queued);
        return kOk;
    }

  private:
    // Takes no pictures of its own, but for one as it starts when asked to.
    class IdleSession final : public platform::CaptureSession {
      public:
        IdleSession(std::shared_ptr<std::function<void(platform::CaptureEnd)>> ended,
                    std::function<void()> onStart)
            : m_ended(std::move(ended)), m_onStart(std::move(onStart)) {}
        void SetEndedHandler(std::function<void(platform::CaptureEnd)> handler) override {
            *m_ended = std::move(handler);
        }
        int32_t SetCursorCaptureEnabled(bool) override { return kOk; }
        int32_t SetBorderRequired(bool) override { return kOk; }
        int32_t StartCapture() override {
            if (m_onStart)
                m_onStart();
            return kOk;
        }
        void Close() override {}

      private:
        std::shared_ptr<std::function<void(platform::CaptureEnd)>> m_ended;
        std::function<void()> m_onStart;
    };

    const std::shared_ptr<SyntheticDisplay> m_desktop;
    // The newest session's handler for its end.
    const std::shared_ptr<std::function<void(platform::CaptureEnd)>> m_ended =
        std::make_shared<std::function<void(platform::CaptureEnd)>>();
    const std::shared_ptr<std::function<void()>> m_onStart =
        std::make_shared<std::function<void()>>();
    std::mutex m_mutex;
    std::weak_ptr<platform::QueuedFramePool> m_pool;
};

struct Delivery {
    uint32_t width;
    uint32_t height;
    int64_t timestamp;
    int64_t atNs;
    uint32_t firstPixel;
    uint64_t content;
};

SyntheticDisplay::Options StillScreen() {
    SyntheticDisplay::Options options;
    options.changeRate = 0.0;
    options.drawCursor = false;
    options.painter = [](gfx::Texture& texture, platform::FrameSize, int64_t, uint64_t) {
        PaintPicture(texture, 0xFF102030);
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
// the clock, and the capture's deliveries are kept with the instant they came; times are from
// the session's start.
class SimulatedCapture {
  public:
    bool StartMonitor(uint32_t fps = 30, FrameCallback callback = {}) {
        return capture.InitializeForMonitor(0) && Start(fps, std::move(callback));
    }
    // Starts what the capture was initialised for.
    bool Start(uint32_t fps = 30, FrameCallback callback = {}) {
        m_slots = FrameSlots(fps);
        m_slots.Start(originNs);
        capture.SetFrameRate(fps);
        capture.SetSessionStartTime(originNs);
        return capture.Start(callback ? std::move(callback) : Record());
    }
    FrameCallback Record() {
        return [this](gfx::Texture* texture, int64_t timestamp) {
            std::lock_guard lock(m_mutex);
            m_deliveries.push_back({texture->Width(), texture->Height(), timestamp, clock->NowNs(),
                                    *reinterpret_cast<uint32_t*>(texture->Row(0)),
                                    texture->ContentId()});
        };
    }
    std::vector<Delivery> Deliveries() const {
        std::lock_guard lock(m_mutex);
        return m_deliveries;
    }
    // A picture numbered `number` (its colour), taken at `ns`; returns once the pacer waits for
    // its next slot. False when the display dropped it, as one does with every buffer held.
    bool Show(int64_t ns, uint32_t number) {
        const bool published = display->Publish(originNs + ns, number);
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
    const std::shared_ptr<SyntheticDisplay> desktop = SyntheticDisplay::Create(StillScreen());
    const std::shared_ptr<ScriptedDisplay> display = std::make_shared<ScriptedDisplay>(desktop);

  private:
    FrameSlots m_slots;
    std::vector<std::pair<int64_t, uint32_t>> m_shown;  // test thread only
    // Before the capture, whose pacer fills them until it is destroyed.
    mutable std::mutex m_mutex;
    std::vector<Delivery> m_deliveries;

  public:
    ScreenCapture capture{display, &gfx::Device::Create, clock};
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

// Each slot is delivered as it closes, stamped on the grid, with the newest picture taken by then,
// also once the screen stops changing; nothing comes after Stop.
TEST(ScreenCaptureTest, OneFramePerSlotOnTheGridForStillBusyAndStoppedScreens) {
    constexpr int64_t kRunNs = 1500 * kMs;
    struct Case {
        const char* name;
        Pictures pictures;
        uint32_t fps;
        uint32_t cropWidth;  // 0: the whole monitor
    };
    for (const Case& c : {Case{"still", {kRunNs, kRunNs}, 30, 0},
                          Case{"100 Hz at 30 fps", {10 * kMs, kRunNs}, 30, 0},
                          Case{"100 Hz at 10 fps", {10 * kMs, kRunNs}, 10, 0},
                          Case{"60 Hz, stopped at 300 ms", {1'000'000'000 / 60, 300 * kMs}, 30, 0},
                          Case{"the same cropped", {1'000'000'000 / 60, 300 * kMs}, 30, 320}}) {
        SCOPED_TRACE(c.name);
        SimulatedCapture sim;
        ASSERT_TRUE(sim.capture.InitializeForMonitor(0));
        if (c.cropWidth)
            sim.capture.SetCropRegion(0, 0, c.cropWidth, 200);
        ASSERT_TRUE(sim.Start(c.fps));
        EXPECT_EQ(sim.Play(c.pictures, kRunNs), 0);
        sim.capture.Stop();
        const auto deliveries = sim.Deliveries();
        ASSERT_EQ(deliveries.size(), sim.SlotsClosedBy(kRunNs));
        for (size_t k = 0; k < deliveries.size(); ++k) {
            SCOPED_TRACE(k);
            EXPECT_EQ(deliveries[k].timestamp, sim.Timestamp(k));
            EXPECT_EQ(deliveries[k].atNs - sim.originNs, sim.CloseNs(k));
            EXPECT_EQ(deliveries[k].width, c.cropWidth ? c.cropWidth : 1920u);
            EXPECT_EQ(deliveries[k].firstPixel & 0xFFFFFF, sim.NewestShownBy(sim.CloseNs(k)));
        }
        sim.RunTo(kRunNs + 500 * kMs);
        EXPECT_EQ(sim.Deliveries().size(), deliveries.size()) << "nothing after Stop";
    }
}

// A picture that comes before Start has returned is the session's first and is shown; the next
// one replaces it, rather than the queue staying a picture behind on a still screen.
TEST(ScreenCaptureTest, APictureTakenAsTheSessionStartsIsShownAndTheNextReplacesIt) {
    SimulatedCapture sim;
    sim.display->PublishOnStart(sim.originNs, 1);
    ASSERT_TRUE(sim.StartMonitor());
    ASSERT_TRUE(sim.clock->AwaitTimedWaiters(1)) << "the pacer has a picture to pace";
    sim.RunTo(100 * kMs);
    ASSERT_TRUE(sim.Show(100 * kMs, 2));
    sim.RunTo(300 * kMs);
    const std::vector<Delivery> deliveries = sim.Deliveries();
    ASSERT_EQ(deliveries.size(), sim.SlotsClosedBy(300 * kMs));
    EXPECT_EQ(deliveries.front().firstPixel, 0xFF000001u);
    EXPECT_EQ(deliveries.back().firstPixel, 0xFF000002u);
    sim.capture.Stop();
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
    const FrameCallback record = sim.Record();
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

    const auto deliveries = sim.Deliveries();
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
    const size_t beforePause = sim.Deliveries().size();
    EXPECT_EQ(beforePause, sim.SlotsClosedBy(200 * kMs));
    sim.capture.SetPaused(true);
    sim.RunTo(500 * kMs);
    EXPECT_EQ(sim.Deliveries().size(), beforePause);
    sim.capture.SetPaused(false);
    ASSERT_TRUE(sim.clock->AwaitTimedWaiters(1));
    sim.RunTo(700 * kMs);
    sim.capture.Stop();

    const auto deliveries = sim.Deliveries();
    EXPECT_EQ(deliveries.size(), sim.SlotsClosedBy(400 * kMs)) << "the pause is left out";
    for (size_t k = 0; k < deliveries.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(deliveries[k].timestamp, sim.Timestamp(k));
        const int64_t pausedNs = k < beforePause ? 0 : 300 * kMs;
        EXPECT_EQ(deliveries[k].atNs - sim.originNs, sim.CloseNs(k) + pausedNs);
    }
}

// A window is smaller than the monitor the crop is clamped to: the box can miss the frame.
TEST(ScreenCaptureTest, ACropOutsideTheFrameLetsItGoOutWhole) {
    test::LogCapture log;
    SimulatedCapture sim;
    const uint64_t window = sim.desktop->AddWindow({.title = "small", .width = 640, .height = 480});
    ASSERT_TRUE(sim.capture.InitializeForWindow(window));
    sim.capture.SetCropRegion(600, 400, 400, 300);
    ASSERT_TRUE(sim.Start());
    ASSERT_TRUE(sim.Show(0, 1));
    sim.RunTo(sim.CloseNs(0));
    sim.capture.Stop();
    ASSERT_EQ(sim.Deliveries().size(), 1u);
    EXPECT_EQ(sim.Deliveries().front().width, 640u);
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
    sim.capture.SetCropRegion(10, 10, 401, 300);
    EXPECT_EQ(sim.capture.CurrentCrop(), (CropBox{10, 10, 400, 300})) << "an even width";
    sim.RunTo(300 * kMs);
    sim.capture.SetCropRegion(0, 0, 0, 0);
    EXPECT_EQ(sim.capture.CurrentCrop(), std::nullopt);
    sim.RunTo(450 * kMs);
    sim.capture.Stop();

    const auto deliveries = sim.Deliveries();
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
