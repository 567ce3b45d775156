#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "shaders/RowSelection.h"

namespace tamro::test {

// Makes one variant of a kernel's table the one the kernel runs, for the scope.
template <typename Row>
class ForceRowVariant {
  public:
    ForceRowVariant(shaders::RowSelection<Row>& selection, const shaders::RowVariant<Row>& variant)
        : m_selection(selection), m_previous(selection.ForceForTesting(&variant)) {}
    ~ForceRowVariant() { m_selection.ForceForTesting(m_previous); }
    ForceRowVariant(const ForceRowVariant&) = delete;
    ForceRowVariant& operator=(const ForceRowVariant&) = delete;

  private:
    shaders::RowSelection<Row>& m_selection;
    const shaders::RowVariant<Row>* m_previous;
};

// A test run once per variant of a kernel's table (the parameter is the variant's index),
// skipped where the processor cannot run it.
template <typename Row>
class VariantTest : public ::testing::TestWithParam<size_t> {
  protected:
    virtual shaders::RowSelection<Row>& Selection() const = 0;
    const shaders::RowVariant<Row>& Variant() const { return Selection().Variants()[GetParam()]; }
    const shaders::RowVariant<Row>& Reference() const { return Selection().Reference(); }
    void SetUp() override {
        if (!Variant().Runs())
            GTEST_SKIP() << "this processor cannot run the " << Variant().name << " variant";
    }
};

// The indices of a table's variants, and a test name from each.
template <typename Row>
auto VariantIndices(const shaders::RowSelection<Row>& selection) {
    return ::testing::Range<size_t>(0, selection.Variants().size());
}
template <typename Row>
auto VariantNamer(const shaders::RowSelection<Row>& selection) {
    return [&selection](const ::testing::TestParamInfo<size_t>& info) {
        return std::string(selection.Variants()[info.param].name);
    };
}

}  // namespace tamro::test
