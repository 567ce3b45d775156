#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>

namespace tamro::shaders {

// Processor features an optimised row needs, as bits.
enum CpuFeature : uint32_t {
    kCpuPlain = 0,       // runs anywhere
    kCpuAvx2 = 1u << 0,  // with FMA
};

// The features of this processor, read once.
uint32_t CpuFeatures();

// One way of computing a kernel's row. Each kernel has a table of them: the plain reference
// first, then faster versions, each needing more of the processor; every version must give the
// reference's bytes.
template <typename Row>
struct RowVariant {
    std::string_view name;
    uint32_t needs;  // CpuFeature bits
    Row row;

    bool Runs() const { return (CpuFeatures() & needs) == needs; }
};

// The row a kernel runs: the last variant of its table that this processor runs, chosen once
// when the kernel is first used. Tests may force another variant of the table (through
// tests/shaders/VariantTest.h); nothing else changes the choice.
// Threading: row() from any thread; a forced choice is seen by calls that start after it.
template <typename Row>
class RowSelection {
  public:
    explicit RowSelection(std::span<const RowVariant<Row>> variants)
        : m_variants(variants), m_selected(&Best(variants)) {}

    Row row() const { return m_selected.load(std::memory_order_relaxed)->row; }
    const RowVariant<Row>& Selected() const { return *m_selected.load(); }
    std::span<const RowVariant<Row>> Variants() const { return m_variants; }
    const RowVariant<Row>& Reference() const { return m_variants.front(); }

    // Test-only: makes `variant`, an entry of this table that the processor runs, the choice;
    // returns the previous one so that it can be put back.
    const RowVariant<Row>* ForceForTesting(const RowVariant<Row>* variant) {
        return m_selected.exchange(variant);
    }

  private:
    static const RowVariant<Row>& Best(std::span<const RowVariant<Row>> variants) {
        const RowVariant<Row>* best = &variants.front();
        for (const RowVariant<Row>& variant : variants) {
            if (variant.Runs())
                best = &variant;
        }
        return *best;
    }

    std::span<const RowVariant<Row>> m_variants;
    std::atomic<const RowVariant<Row>*> m_selected;
};

}  // namespace tamro::shaders
