#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/gfx/Device.h"
#include "platform/system/CpuLoad.h"
#include "tamro/ResultCode.h"

namespace tamro::platform {
namespace {

TEST(CpuLoadTest, MeasuresTheBusyShareOfEachInterval) {
    // user nice system idle iowait irq softirq steal guest guest_nice
    std::vector<std::string> lines = {
        "cpu  100 0 100 700 100 0 0 0 0 0",
        // +60 user, +20 iowait, +20 idle, +50 guest (already inside user): busy 60 of 100.
        "cpu  160 0 100 720 120 0 0 0 50 0",
        "cpu  160 0 100 720 120 0 0 0 50 0",  // no time counted: the last fraction again
        "garbage",
        "cpu  10 0 0 10 0",  // counters went back: measured from zero
    };
    size_t next = 0;
    CpuLoad load([&]() -> std::optional<std::string> { return lines.at(next++); });
    ASSERT_NEAR(*load.Sample(), 0.6, 1e-9);
    ASSERT_NEAR(*load.Sample(), 0.6, 1e-9);
    EXPECT_FALSE(load.Sample().has_value());
    EXPECT_NEAR(*load.Sample(), 0.5, 1e-9);

    CpuLoad unreadable([] { return std::optional<std::string>(); });
    EXPECT_FALSE(unreadable.Sample().has_value());
}

// The real counters: with a spinning thread on every processor, whatever else the machine runs,
// nearly all processor time is busy.
TEST(CpuLoadTest, TheAdapterReportsTheMachineBusyWhileEveryProcessorSpins) {
    const auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    const auto adapter = device->Adapter3();
    ASSERT_NE(adapter, nullptr);
    gfx::VideoMemoryInfo info;
    ASSERT_EQ(adapter->QueryVideoMemoryInfo(0, gfx::MemorySegmentGroup::kLocal, &info), kOk);

    std::atomic<bool> stop{false};
    std::vector<std::thread> spinners;
    for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency()); ++i) {
        spinners.emplace_back([&] {
            volatile uint64_t sink = 0;
            while (!stop.load(std::memory_order_relaxed))
                sink = sink + 1;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const int32_t result = adapter->QueryVideoMemoryInfo(0, gfx::MemorySegmentGroup::kLocal, &info);
    stop = true;
    for (auto& spinner : spinners)
        spinner.join();

    ASSERT_EQ(result, kOk);
    EXPECT_EQ(info.budget, gfx::Adapter::kBudgetBytes);
    EXPECT_GT(static_cast<double>(info.currentUsage) / info.budget, 0.75);
    EXPECT_LE(info.currentUsage, info.budget);
}

}  // namespace
}  // namespace tamro::platform
