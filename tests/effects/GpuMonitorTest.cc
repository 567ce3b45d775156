#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "effects/GpuMonitor.h"
#include "platform/gfx/Device.h"
#include "platform/system/ManualClock.h"

namespace tamro {
namespace {

using namespace std::chrono_literals;

// Processor counters whose busy fraction over each reading's interval is `load`: the adapter
// reports it as its memory use, so the monitor sees exactly the loads a test sets.
struct ScriptedProcessors {
    double load = 0.0;
    uint64_t busy = 0;
    uint64_t total = 0;

    std::optional<std::string> Read() {
        constexpr uint64_t kTicks = 100'000;
        total += kTicks;
        busy += static_cast<uint64_t>(std::llround(load * kTicks));
        // user nice system idle iowait
        return "cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(total - busy) + " 0";
    }
};

class GpuMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto adapter = m_device->Adapter3();
        ASSERT_NE(adapter, nullptr);
        adapter->SetStatReader([this] { return m_processors.Read(); });
    }

    // Ticks at a steady `load` and returns the tier after each tick.
    std::vector<int32_t> TickAt(double load, int ticks) {
        m_processors.load = load;
        std::vector<int32_t> tiers;
        for (int i = 0; i < ticks; ++i) {
            m_monitor.Tick();
            tiers.push_back(m_monitor.Tier());
        }
        return tiers;
    }

    std::shared_ptr<gfx::Device> m_device = gfx::Device::Create(gfx::DriverType::kHardware);
    ScriptedProcessors m_processors;
    std::shared_ptr<platform::ManualClock> m_clock = std::make_shared<platform::ManualClock>(0);
    GpuMonitor m_monitor{m_clock};
};

TEST_F(GpuMonitorTest, FromHeavyASteadyMiddleLoadSettlesAtMediumAndStaysThere) {
    m_processors.load = 0.45;
    ASSERT_TRUE(m_monitor.Initialize(m_device.get()));
    EXPECT_EQ(m_monitor.Tier(), 3);
    EXPECT_FLOAT_EQ(m_monitor.Load(), 0.5f);

    m_monitor.Tick();  // 0.7 * 0.5 + 0.3 * 0.45 = 0.485
    EXPECT_NEAR(m_monitor.Load(), 0.485f, 1e-5);
    EXPECT_EQ(m_monitor.Tier(), 2);
    for (int32_t tier : TickAt(0.45, 30))
        EXPECT_EQ(tier, 2);

    // Up to 0.7, trend included, stays below 0.73: medium holds.
    for (int32_t tier : TickAt(0.7, 30))
        EXPECT_EQ(tier, 2);
    EXPECT_NEAR(m_monitor.Load(), 0.7f, 1e-3);
    const auto tiers = TickAt(0.76, 30);
    EXPECT_EQ(tiers.back(), 3);
}

TEST_F(GpuMonitorTest, ARisingLoadClimbsOneTierAtATimeAtTheThresholds) {
    m_processors.load = 0.1;
    ASSERT_TRUE(m_monitor.Initialize(m_device.get()));
    TickAt(0.1, 20);
    ASSERT_EQ(m_monitor.Tier(), 1);

    m_processors.load = 0.9;
    int32_t tier = 1;
    bool reachedHeavy = false;
    for (int i = 0; i < 30; ++i) {
        m_monitor.Tick();
        const float s = m_monitor.Load();
        const int32_t expected =
            tier == 1 ? (s > 0.6f ? 2 : 1) : (tier == 2 && s > 0.73f ? 3 : tier);
        ASSERT_EQ(m_monitor.Tier(), expected) << "tick " << i << " smoothed " << s;
        tier = expected;
        reachedHeavy = reachedHeavy || tier == 3;
    }
    EXPECT_TRUE(reachedHeavy);

    // Falling back: below 0.5 gives medium, below 0.33 light.
    for (int i = 0; i < 30 && m_monitor.Tier() == 3; ++i)
        TickAt(0.0, 1);
    EXPECT_EQ(m_monitor.Tier(), 2);
    EXPECT_LT(m_monitor.Load(), 0.5f);
    EXPECT_GE(m_monitor.Load(), 0.33f);
    TickAt(0.0, 30);
    EXPECT_EQ(m_monitor.Tier(), 1);
}

TEST_F(GpuMonitorTest, GrowthAddsAClampedTrend) {
    m_processors.load = 0.1;
    ASSERT_TRUE(m_monitor.Initialize(m_device.get()));
    TickAt(0.1, 20);
    const float before = m_monitor.Load();

    // 0.1 -> 0.6 of the budget is growth of 0.5 units, clamped to 0.2 and halved into the trend.
    TickAt(0.6, 1);
    EXPECT_NEAR(m_monitor.Load(), 0.7f * before + 0.3f * (0.6f + 0.1f), 1e-5);
    // No growth: the trend halves.
    TickAt(0.6, 1);
    const float after = m_monitor.Load();
    TickAt(0.6, 1);
    EXPECT_NEAR(m_monitor.Load(), 0.7f * after + 0.3f * (0.6f + 0.025f), 1e-5);

    // Shrinking lowers the trend but never the load below the ratio.
    TickAt(0.6, 20);
    const float steady = m_monitor.Load();
    TickAt(0.2, 1);
    EXPECT_NEAR(m_monitor.Load(), 0.7f * steady + 0.3f * 0.2f, 1e-4);
}

TEST_F(GpuMonitorTest, WithoutTheAdapterQueryTheLoadIsAConstantHalf) {
    m_device->SetFaults({.noAdapter3 = true});
    m_processors.load = 1.0;
    ASSERT_TRUE(m_monitor.Initialize(m_device.get()));
    for (int32_t tier : TickAt(1.0, 20))
        EXPECT_EQ(tier, 3) << "0.5 is not below 0.5";
    EXPECT_EQ(m_monitor.Load(), 0.5f);

    GpuMonitor monitor;
    EXPECT_FALSE(monitor.Initialize(nullptr));
}

TEST_F(GpuMonitorTest, AFailingQueryHoldsTheEstimate) {
    m_processors.load = 0.9;
    ASSERT_TRUE(m_monitor.Initialize(m_device.get()));
    TickAt(0.9, 3);
    const float held = m_monitor.Load();
    const int32_t tier = m_monitor.Tier();

    m_device->SetFaults({.failVideoMemoryQuery = true});
    TickAt(0.0, 10);
    EXPECT_EQ(m_monitor.Load(), held);
    EXPECT_EQ(m_monitor.Tier(), tier);
}

TEST_F(GpuMonitorTest, TheThreadTicksEveryIntervalAndStopsWithoutWaitingItOut) {
    m_processors.load = 1.0;
    ASSERT_TRUE(m_monitor.Initialize(m_device.get()));
    m_monitor.Start();
    m_monitor.Start();  // already running: no second thread
    ASSERT_TRUE(m_clock->AwaitTimedWaiters(1));
    const float first = m_monitor.Load();
    EXPECT_GT(first, 0.5f);

    ASSERT_TRUE(m_clock->Advance(GpuMonitor::kIntervalNs - 1));
    EXPECT_EQ(m_monitor.Load(), first);
    ASSERT_TRUE(m_clock->Advance(1));
    EXPECT_GT(m_monitor.Load(), first);

    // The clock does not move again: Stop returns only because it wakes the sleep.
    m_monitor.Stop();
    EXPECT_FALSE(m_monitor.Running());
    m_monitor.Stop();
}

}  // namespace
}  // namespace tamro
