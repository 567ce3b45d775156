#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/system/CpuLoad.h"

namespace tamro::gfx {

enum class MemorySegmentGroup : uint8_t { kLocal, kNonLocal };

struct VideoMemoryInfo {
    uint64_t budget = 0;
    uint64_t currentUsage = 0;
    uint64_t availableForReservation = 0;
    uint64_t currentReservation = 0;
};

// The adapter behind a Device. The device draws on the processors, so its local memory segment
// reports their load: a fixed budget, and a usage that is the budget times the busy fraction of
// all processors since the previous query. Callers that turn usage / budget into a load estimate
// thereby follow the machine's real load.
// Threading: any thread.
class Adapter {
  public:
    static constexpr uint64_t kBudgetBytes = 104'857'600;

    Adapter(platform::CpuLoad::StatReader reader, std::shared_ptr<const std::atomic<bool>> fail);

    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    // kOk, or kFail when the processor counters cannot be read or a fault is injected; kInvalidArg
    // for a node other than 0 or a null `info`. The non-local segment has no budget here.
    int32_t QueryVideoMemoryInfo(uint32_t nodeIndex, MemorySegmentGroup group,
                                 VideoMemoryInfo* info);

    // Where the processor counters are read from; for tests that script the load.
    void SetStatReader(platform::CpuLoad::StatReader reader);

  private:
    std::mutex m_mutex;
    platform::CpuLoad m_cpuLoad;
    const std::shared_ptr<const std::atomic<bool>> m_fail;
};

}  // namespace tamro::gfx
