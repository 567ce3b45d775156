#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/gfx/Adapter.h"
#include "platform/gfx/Device.h"
#include "platform/system/Clock.h"
#include "platform/system/SteadyClock.h"

namespace tamro {

// Estimates how busy the graphics adapter is from its local memory use, smoothed, and turns that
// into a tier with hysteresis: 1 light, 2 medium, 3 heavy. The background effects read the tier
// to choose how often the segmentation model runs.
// Threading: Initialize, Start and Stop come from one configuration thread, never concurrently.
// While started, the monitor's own thread runs Tick every 500 ms and alone writes the estimate;
// Load and Tier are atomic reads for any thread. Tick may be called directly (tests) only while
// the thread is not running. Stop wakes the thread from its sleep and joins it.
class GpuMonitor {
  public:
    static constexpr int64_t kIntervalNs = 500'000'000;
    // Memory growth is measured in units of this many bytes.
    static constexpr double kGrowthUnitBytes = 104'857'600.0;

    explicit GpuMonitor(
        std::shared_ptr<platform::Clock> clock = std::make_shared<platform::SteadyClock>());
    ~GpuMonitor();

    GpuMonitor(const GpuMonitor&) = delete;
    GpuMonitor& operator=(const GpuMonitor&) = delete;

    // False only for a null device. A device without the memory-budget query is accepted; the
    // load then stays at its initial 0.5.
    bool Initialize(gfx::Device* device);

    // Starts the monitor thread unless it runs already.
    void Start();
    void Stop();
    bool Running() const { return m_running.load(); }

    float Load() const { return m_load.load(); }
    int32_t Tier() const { return m_tier.load(); }

    // One refresh of the estimate and tier, without the sleep.
    void Tick();

  private:
    float RawLoad();
    void UpdateTier(float smoothed);
    void MonitorThread();

    const std::shared_ptr<platform::Clock> m_clock;
    std::shared_ptr<gfx::Adapter> m_adapter;

    std::atomic<bool> m_running{false};
    std::atomic<float> m_load{0.5f};
    std::atomic<int32_t> m_tier{3};

    // Written by Initialize and then by Tick only.
    uint64_t m_budget = 0;
    uint64_t m_usage = 0;
    uint64_t m_lastUsage = 0;
    float m_trend = 0.0f;
    float m_smoothed = 0.5f;

    std::mutex m_wakeMutex;
    std::condition_variable_any m_wake;
    std::thread m_thread;
};

}  // namespace tamro
