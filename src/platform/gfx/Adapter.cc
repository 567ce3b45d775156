#include "platform/gfx/Adapter.h"

#include <cmath>

#include "tamro/ResultCode.h"

namespace tamro::gfx {

Adapter::Adapter(platform::CpuLoad::StatReader reader,
                 std::shared_ptr<const std::atomic<bool>> fail)
    : m_cpuLoad(std::move(reader)), m_fail(std::move(fail)) {}

int32_t Adapter::QueryVideoMemoryInfo(uint32_t nodeIndex, MemorySegmentGroup group,
                                      VideoMemoryInfo* info) {
    if (!info || nodeIndex != 0)
        return kInvalidArg;
    *info = {};
    if (m_fail->load())
        return kFail;
    if (group == MemorySegmentGroup::kNonLocal)
        return kOk;
    std::lock_guard lock(m_mutex);
    const auto busy = m_cpuLoad.Sample();
    if (!busy)
        return kFail;
    info->budget = kBudgetBytes;
    info->currentUsage = static_cast<uint64_t>(std::llround(*busy * kBudgetBytes));
    info->availableForReservation = kBudgetBytes / 2;
    return kOk;
}

void Adapter::SetStatReader(platform::CpuLoad::StatReader reader) {
    std::lock_guard lock(m_mutex);
    m_cpuLoad = platform::CpuLoad(std::move(reader));
}

}  // namespace tamro::gfx
