#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/gfx/Device.h"
#include "platform/gfx/Texture.h"
#include "shaders/RowSelection.h"
#include "support/GuardedBuffer.h"
#include "tamro/ResultCode.h"

namespace tamro::test {

// A test run once per variant of the table `kSelection()` returns (the parameter is the variant's
// index), skipped where the processor cannot run it. The variant is the one the kernel runs for
// the test's duration.
template <auto kSelection>
class VariantTest : public ::testing::TestWithParam<size_t> {
  public:
    static auto Indices() { return ::testing::Range<size_t>(0, kSelection().Variants().size()); }
    static std::string Name(const ::testing::TestParamInfo<size_t>& info) {
        return std::string(kSelection().Variants()[info.param].name);
    }

  protected:
    const auto& Variant() const { return kSelection().Variants()[GetParam()]; }
    const auto& Reference() const { return kSelection().Reference(); }
    void SetUp() override {
        if (!Variant().Runs())
            GTEST_SKIP() << "this processor cannot run the " << Variant().name << " variant";
        m_previous = kSelection().ForceForTesting(&Variant());
    }
    void TearDown() override {
        if (m_previous)
            kSelection().ForceForTesting(m_previous);
    }

    // Gives `run` the reference's row, then the variant's, each with its own guarded buffers of
    // `sizes` bytes holding the same random bytes: the variant must leave every byte of them as
    // the reference does. A row reading or writing past the end of its buffers crashes.
    template <typename Run>
    bool SameBytes(std::initializer_list<size_t> sizes, Run run) const {
        std::vector<uint8_t> bytes[2];
        for (int i = 0; i < 2; ++i) {
            std::mt19937 random(static_cast<uint32_t>(*sizes.begin()));
            std::deque<GuardedBuffer> buffers;
            std::vector<uint8_t*> data;
            for (const size_t size : sizes) {
                data.push_back(buffers.emplace_back(size).data());
                buffers.back().Fill(random);
            }
            run(i == 0 ? Reference().row : Variant().row, data.data());
            for (const GuardedBuffer& buffer : buffers)
                bytes[i].insert(bytes[i].end(), buffer.data(), buffer.data() + buffer.size());
        }
        return bytes[0] == bytes[1];
    }

  private:
    const shaders::RowVariant<decltype(kSelection().row())>* m_previous = nullptr;
};

// A texture over guarded memory filled from `random`: rows `pitch` bytes apart, the last one
// ending right before a page that cannot be touched.
struct GuardedTexture {
    GuardedTexture(gfx::Device& device, uint32_t width, uint32_t height, gfx::Format format,
                   uint32_t pitch, std::mt19937& random)
        : memory(pitch * (height - 1) + width * gfx::BytesPerPixel(format)) {
        memory.Fill(random);
        EXPECT_EQ(device.WrapTexture({.width = width, .height = height, .format = format},
                                     memory.data(), pitch, {}, &texture),
                  kOk);
    }

    // Every row's pixels, without the padding between them.
    std::vector<uint8_t> Pixels() const {
        std::vector<uint8_t> pixels;
        const uint32_t rowBytes = texture->Width() * gfx::BytesPerPixel(texture->Desc().format);
        for (uint32_t y = 0; y < texture->Height(); ++y)
            pixels.insert(pixels.end(), texture->Row(y), texture->Row(y) + rowBytes);
        return pixels;
    }

    GuardedBuffer memory;
    std::shared_ptr<gfx::Texture> texture;
};

}  // namespace tamro::test
