#include "shaders/RowSelection.h"

namespace tamro::shaders {

uint32_t CpuFeatures() {
    static const uint32_t features = [] {
        __builtin_cpu_init();
        uint32_t bits = kCpuPlain;
        // The float kernels' AVX2 rows fuse multiply-adds too; AVX2 processors have FMA.
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
            bits |= kCpuAvx2;
        return bits;
    }();
    return features;
}

}  // namespace tamro::shaders
