#include "shaders/KernelRegistry.h"

#include <array>

namespace tamro::shaders {

namespace {

// Every kernel of the engine, added here as its class lands.
constexpr std::array<gfx::Kernel, 0> kKernels = {};

}  // namespace

const gfx::Kernel* FindKernel(std::string_view name) {
    for (const gfx::Kernel& kernel : kKernels) {
        if (kernel.Name() == name)
            return &kernel;
    }
    return nullptr;
}

}  // namespace tamro::shaders
