#include "effects/GpuMonitor.h"

#include <algorithm>
#include <exception>

#include "diag/Log.h"
#include "tamro/ResultCode.h"

namespace tamro {

GpuMonitor::GpuMonitor(std::shared_ptr<platform::Clock> clock) : m_clock(std::move(clock)) {}

GpuMonitor::~GpuMonitor() {
    Stop();
}

bool GpuMonitor::Initialize(gfx::Device* device) {
    if (!device) {
        LogLine("[GpuMonitor] Initialize failed: null device\n");
        return false;
    }
    m_adapter = device->Adapter3();
    if (!m_adapter) {
        LogLine("[GpuMonitor] IDXGIAdapter3 not available (older Windows version)\n");
        return true;
    }
    gfx::VideoMemoryInfo info;
    if (m_adapter->QueryVideoMemoryInfo(0, gfx::MemorySegmentGroup::kLocal, &info) == kOk) {
        m_budget = info.budget;
        m_usage = info.currentUsage;
        m_lastUsage = info.currentUsage;
    }
    return true;
}

void GpuMonitor::Start() {
    if (m_running.exchange(true))
        return;
    m_thread = std::thread([this] { MonitorThread(); });
}

void GpuMonitor::Stop() {
    {
        // Under the mutex the sleeping thread checks `m_running` with, so the wake is not lost.
        std::lock_guard lock(m_wakeMutex);
        m_running.store(false);
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

float GpuMonitor::RawLoad() {
    if (!m_adapter)
        return 0.5f;
    gfx::VideoMemoryInfo info;
    if (m_adapter->QueryVideoMemoryInfo(0, gfx::MemorySegmentGroup::kLocal, &info) != kOk)
        return m_smoothed;
    const float ratio = info.budget == 0
                            ? 0.0f
                            : static_cast<float>(static_cast<double>(info.currentUsage) /
                                                 static_cast<double>(info.budget));
    float growth = 0.0f;
    if (m_lastUsage != 0) {
        const double change =
            static_cast<double>(info.currentUsage) - static_cast<double>(m_lastUsage);
        growth = static_cast<float>(std::clamp(change / kGrowthUnitBytes, -0.2, 0.2));
    }
    m_trend = 0.5f * m_trend + 0.5f * growth;
    m_budget = info.budget;
    m_usage = info.currentUsage;
    m_lastUsage = info.currentUsage;
    return std::clamp(std::max(m_trend, 0.0f) + ratio, 0.0f, 1.0f);
}

void GpuMonitor::UpdateTier(float smoothed) {
    const int32_t tier = m_tier.load();
    int32_t next = tier;
    if (tier == 1) {
        if (smoothed > 0.6f)
            next = 2;
    } else if (tier == 2) {
        if (smoothed < 0.33f)
            next = 1;
        else if (smoothed > 0.73f)
            next = 3;
    } else {
        if (smoothed < 0.33f)
            next = 1;
        else if (smoothed < 0.5f)
            next = 2;
    }
    m_tier.store(next);
}

void GpuMonitor::Tick() {
    const float load = RawLoad();
    m_smoothed = 0.7f * m_smoothed + 0.3f * load;
    m_load.store(m_smoothed);
    UpdateTier(m_smoothed);
}

void GpuMonitor::MonitorThread() {
    std::unique_lock lock(m_wakeMutex);
    while (m_running.load()) {
        lock.unlock();
        try {
            Tick();
        } catch (const std::exception& e) {
            LogLine("[GpuMonitor] MonitorThread exception: %s\n", e.what());
        } catch (...) {
            LogLine("[GpuMonitor] MonitorThread unknown exception\n");
        }
        lock.lock();
        m_clock->WaitUntil(lock, m_wake, m_clock->NowNs() + kIntervalNs,
                           [this] { return !m_running.load(); });
    }
}

}  // namespace tamro
