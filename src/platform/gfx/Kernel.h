#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/gfx/GfxTypes.h"

namespace tamro::gfx {

// What a dispatch binds: shader resources in, render targets or unordered-access views out, one
// constant block. Kernels read the textures' pixels directly; the context holds its lock.
struct KernelArgs {
    std::span<Texture* const> inputs;
    std::span<Texture* const> outputs;
    const void* constants = nullptr;
    size_t constantsSize = 0;
};

using KernelFunction = int32_t (*)(const KernelArgs& args);

// A "compiled" kernel: an entry of the kernel table looked up by name.
class Kernel {
  public:
    constexpr Kernel(std::string_view name, KernelFunction function)
        : m_name(name), m_function(function) {}

    std::string_view Name() const { return m_name; }
    int32_t Run(const KernelArgs& args) const { return m_function(args); }

  private:
    std::string_view m_name;
    KernelFunction m_function;
};

}  // namespace tamro::gfx
