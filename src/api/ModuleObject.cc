#include "tamro/ModuleObject.h"

#include <atomic>

namespace tamro {
namespace {

std::atomic<int64_t>& LiveObjects() {
    static std::atomic<int64_t> count{0};
    return count;
}

}  // namespace

ModuleObject::ModuleObject() noexcept {
    LiveObjects().fetch_add(1, std::memory_order_relaxed);
}

ModuleObject::ModuleObject(const ModuleObject&) noexcept {
    LiveObjects().fetch_add(1, std::memory_order_relaxed);
}

ModuleObject::~ModuleObject() {
    LiveObjects().fetch_sub(1, std::memory_order_acq_rel);
}

int64_t LiveObjectCount() noexcept {
    return LiveObjects().load(std::memory_order_acquire);
}

}  // namespace tamro
