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

// The rows [first, end) of a kernel's work, in the kernel's own unit of rows.
struct RowBand {
    uint32_t first = 0;
    uint32_t end = 0;
};

using KernelFunction = int32_t (*)(const KernelArgs& args, RowBand band);
// How many rows the work of a dispatch splits into; 0 when it cannot be split (or the arguments
// are wrong, which the kernel itself then reports).
using KernelRows = uint32_t (*)(const KernelArgs& args);

// A "compiled" kernel: an entry of the kernel table looked up by name. A kernel that says its
// rows is run in bands, each band touching only its own rows of the outputs.
class Kernel {
  public:
    constexpr Kernel(std::string_view name, KernelFunction function, KernelRows rows = nullptr)
        : m_name(name), m_function(function), m_rows(rows) {}

    std::string_view Name() const { return m_name; }
    uint32_t Rows(const KernelArgs& args) const { return m_rows ? m_rows(args) : 0; }
    int32_t Run(const KernelArgs& args, RowBand band) const { return m_function(args, band); }
    int32_t Run(const KernelArgs& args) const { return Run(args, {0, Rows(args)}); }

  private:
    std::string_view m_name;
    KernelFunction m_function;
    KernelRows m_rows;
};

}  // namespace tamro::gfx
