#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "audio/SampleRing.h"

namespace tamro::test {
namespace {

TEST(SampleRingTest, ShortReadZeroFillsAndOneSlotStaysEmpty) {
    SampleRing ring;
    std::vector<float> hundred(100);
    std::iota(hundred.begin(), hundred.end(), 1.0f);
    ring.Write(hundred.data(), hundred.size());
    std::vector<float> block(SampleRing::kBlockSamples, -7.0f);
    EXPECT_EQ(ring.ReadBlock(block.data()), 100u);
    EXPECT_TRUE(std::equal(hundred.begin(), hundred.end(), block.begin()));
    EXPECT_TRUE(std::all_of(block.begin() + 100, block.end(), [](float v) { return v == 0.0f; }));
    EXPECT_EQ(ring.Used(), 0u);

    const std::vector<float> many(SampleRing::kCapacity, 0.25f);
    EXPECT_EQ(ring.Write(many.data(), many.size()), SampleRing::kCapacity - 1);
    EXPECT_EQ(ring.Used(), SampleRing::kCapacity - 1);
    EXPECT_EQ(ring.Free(), 0u);
    EXPECT_EQ(ring.Write(many.data(), 1), 0u);
}

TEST(SampleRingTest, KeepsOrderAcrossTheWrap) {
    SampleRing ring;
    std::vector<float> block(SampleRing::kBlockSamples);
    float next = 0.0f;
    float expected = 0.0f;
    // Uneven writes against whole-block reads walk the indices around the end many times.
    for (int round = 0; round < 200; ++round) {
        std::vector<float> chunk(1500 + round * 7 % 1100);
        for (float& v : chunk) {
            v = next++;
        }
        ASSERT_EQ(ring.Write(chunk.data(), chunk.size()), chunk.size());
        while (ring.Used() >= SampleRing::kBlockSamples) {
            ASSERT_EQ(ring.ReadBlock(block.data()), SampleRing::kBlockSamples);
            for (float v : block) {
                ASSERT_EQ(v, expected++);
            }
        }
    }
}

}  // namespace
}  // namespace tamro::test
