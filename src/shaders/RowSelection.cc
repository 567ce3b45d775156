#include "shaders/RowSelection.h"

namespace tamro::shaders {

uint32_t CpuFeatures() {
    static const uint32_t features = [] {
        __builtin_cpu_init();
        uint32_t bits = kCpuPlain;
        if (__builtin_cpu_supports("avx2"))
            bits |= kCpuAvx2;
        return bits;
    }();
    return features;
}

}  // namespace tamro::shaders
