#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/gfx/Device.h"
#include "platform/gfx/WorkerPool.h"
#include "tamro/ResultCode.h"

namespace tamro::gfx {
namespace {

class GfxDeviceTest : public ::testing::Test {
  protected:
    // Staging textures are the CPU-readable and writable kind; the others are drawn to and read.
    std::shared_ptr<Texture> Make(uint32_t w, uint32_t h, Format format = Format::kBGRA8,
                                  Usage usage = Usage::kDefault, uint32_t misc = kMiscNone) {
        TextureDesc desc{.width = w, .height = h, .format = format, .usage = usage};
        desc.miscFlags = misc;
        if (usage == Usage::kStaging)
            desc.cpuAccessFlags = kCpuAccessRead | kCpuAccessWrite;
        else
            desc.bindFlags = kBindShaderResource | kBindRenderTarget;
        std::shared_ptr<Texture> texture;
        if (m_device->CreateTexture(desc, nullptr, 0, &texture) != kOk)
            throw std::runtime_error("the texture was not created");
        return texture;
    }

    std::shared_ptr<Device> m_device = Device::Create(DriverType::kHardware);
    DeviceContext& m_context = m_device->ImmediateContext();
};

TEST_F(GfxDeviceTest, CopiesRegionsAndRefusesBoxesOutsideTheSource) {
    const auto source = Make(8, 4);
    const auto target = Make(4, 2);
    for (uint32_t y = 0; y < 4; ++y) {
        for (uint32_t x = 0; x < 8; ++x)
            reinterpret_cast<uint32_t*>(source->Row(y))[x] = y * 100 + x;
    }
    const Box box{3, 1, 0, 7, 3, 1};
    ASSERT_EQ(m_context.CopySubresourceRegion(target.get(), 0, 0, source.get(), &box), kOk);
    EXPECT_EQ(reinterpret_cast<uint32_t*>(target->Row(0))[0], 103u);
    EXPECT_EQ(reinterpret_cast<uint32_t*>(target->Row(1))[3], 206u);

    const Box outside{5, 0, 0, 9, 2, 1};
    const Box empty{2, 2, 0, 2, 3, 1};
    EXPECT_EQ(m_context.CopySubresourceRegion(target.get(), 0, 0, source.get(), &outside),
              kInvalidArg);
    EXPECT_EQ(m_context.CopySubresourceRegion(target.get(), 0, 0, source.get(), &empty),
              kInvalidArg);
    EXPECT_EQ(m_context.CopySubresourceRegion(target.get(), 1, 0, source.get(), &box), kInvalidArg);
    EXPECT_EQ(m_context.CopyResource(target.get(), source.get()), kInvalidArg);
}

TEST_F(GfxDeviceTest, OnlyStagingTexturesMapAndThePitchCoversTheRow) {
    const auto gpu = Make(1366, 2, Format::kR8);
    const auto staging = Make(1366, 2, Format::kR8, Usage::kStaging);
    MappedSubresource mapped;
    EXPECT_EQ(m_context.Map(gpu.get(), MapType::kRead, &mapped), kInvalidArg);
    ASSERT_EQ(m_context.Map(staging.get(), MapType::kRead, &mapped), kOk);
    EXPECT_GE(mapped.rowPitch, 1366u);
    EXPECT_EQ(mapped.rowPitch % 64, 0u);
    EXPECT_EQ(m_context.Map(staging.get(), MapType::kRead, &mapped), kFail) << "mapped twice";
    m_context.Unmap(staging.get());
}

TEST_F(GfxDeviceTest, ClearWritesTheChannelOrderOfTheFormat) {
    const auto bgra = Make(2, 2);
    const float red[4] = {1, 0, 0, 1};
    ASSERT_EQ(m_context.ClearRenderTarget(bgra.get(), red), kOk);
    EXPECT_EQ(reinterpret_cast<uint32_t*>(bgra->Row(1))[1], 0xFFFF0000u);
    EXPECT_EQ(m_device->QueryAdapterMemory().currentUsage, bgra->RowPitch() * 2u);
}

TEST_F(GfxDeviceTest, SharedTexturesAliasPixelsAndHandOverByKey) {
    auto consumer = Device::Create(DriverType::kHardware);
    std::shared_ptr<Texture> mine =
        Make(4, 4, Format::kBGRA8, Usage::kDefault, kMiscSharedKeyedMutex);
    std::shared_ptr<Texture> theirs;
    ASSERT_NE(mine->SharedHandle(), 0u);
    ASSERT_EQ(consumer->OpenSharedTexture(mine->SharedHandle(), &theirs), kOk);
    mine->Row(0)[0] = 42;
    EXPECT_EQ(theirs->Row(0)[0], 42);

    KeyedMutex* producerLock = mine->GetKeyedMutex();
    KeyedMutex* consumerLock = theirs->GetKeyedMutex();
    ASSERT_EQ(producerLock, consumerLock);
    ASSERT_EQ(producerLock->AcquireSync(0, 0), kOk);
    EXPECT_EQ(consumerLock->AcquireSync(1, 0), kWaitTimeout)
        << "held: a 0 ms acquire must not wait";
    ASSERT_EQ(producerLock->ReleaseSync(1), kOk);
    EXPECT_EQ(producerLock->AcquireSync(0, 0), kWaitTimeout) << "released to key 1, not 0";
    std::thread waiter([&] { EXPECT_EQ(consumerLock->AcquireSync(1, 2000), kOk); });
    waiter.join();
    EXPECT_EQ(consumerLock->ReleaseSync(0), kOk);
    EXPECT_EQ(consumerLock->ReleaseSync(0), kFail) << "not held";

    const uint64_t handle = mine->SharedHandle();
    mine.reset();
    theirs.reset();
    std::shared_ptr<Texture> gone;
    EXPECT_EQ(consumer->OpenSharedTexture(handle, &gone), kInvalidArg) << "released by both";
}

// Every part of every job runs exactly once, whichever thread takes it.
TEST(WorkerPoolTest, RunsEachPartOnceAndReturnsWhenAllAreDone) {
    WorkerPool pool(3);
    EXPECT_EQ(pool.Threads(), 4u);
    std::vector<std::atomic<int>> runs(7);
    for (int job = 0; job < 2000; ++job) {
        const unsigned parts = 1 + job % 7;
        pool.Run(parts, [&](unsigned part) { ++runs[part]; });
        for (unsigned part = 0; part < 7; ++part)
            ASSERT_EQ(runs[part].exchange(0), part < parts ? 1 : 0) << job;
    }
}

// Split into bands over any number of threads, a kernel writes the same bytes as in one piece,
// and a band that fails fails the dispatch.
TEST_F(GfxDeviceTest, BandedDispatchMatchesOnePiece) {
    constexpr uint32_t kWidth = 1002, kHeight = 998;  // 499 row pairs: uneven bands
    const auto frame = Make(kWidth, kHeight);
    const auto luma = Make(kWidth, kHeight, Format::kR8);
    const auto chroma = Make(kWidth / 2, kHeight / 2, Format::kR8G8);
    uint32_t state = 12345;
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth * 4; ++x) {
            state = state * 1664525u + 1013904223u;
            frame->Row(y)[x] = static_cast<uint8_t>(state >> 24);
        }
    }
    const Kernel* kernel = nullptr;
    ASSERT_EQ(m_device->CompileKernel("BgraToNv12", &kernel), kOk);
    Texture* inputs[] = {frame.get()};
    Texture* outputs[] = {luma.get(), chroma.get()};
    const KernelArgs args{inputs, outputs};
    const auto planes = [&] {
        std::vector<uint8_t> bytes;
        for (uint32_t y = 0; y < kHeight; ++y)
            bytes.insert(bytes.end(), luma->Row(y), luma->Row(y) + kWidth);
        for (uint32_t y = 0; y < kHeight / 2; ++y)
            bytes.insert(bytes.end(), chroma->Row(y), chroma->Row(y) + kWidth);
        return bytes;
    };
    m_context.SetParallelism(1);
    ASSERT_EQ(m_context.Dispatch(*kernel, args), kOk);
    const std::vector<uint8_t> whole = planes();
    for (unsigned threads = 2; threads <= 4; ++threads) {
        std::memset(luma->Row(0), 0, luma->RowPitch() * kHeight);
        std::memset(chroma->Row(0), 0, chroma->RowPitch() * (kHeight / 2));
        m_context.SetParallelism(threads);
        ASSERT_EQ(m_context.Dispatch(*kernel, args), kOk);
        EXPECT_EQ(planes(), whole) << threads << " threads";
    }

    const Kernel failsAfterItsFirstBand(
        "Fails", [](const KernelArgs&, RowBand band) { return band.first == 0 ? kOk : kFail; },
        [](const KernelArgs&) { return 1024u; });
    EXPECT_EQ(m_context.Dispatch(failsAfterItsFirstBand, args), kFail);
    m_context.SetParallelism(1);
    EXPECT_EQ(m_context.Dispatch(failsAfterItsFirstBand, args), kOk) << "one band, the first";
}

}  // namespace
}  // namespace tamro::gfx
