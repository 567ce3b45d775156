// Video encoding: the NV12 converter against libyuv's ARGBToNV12 on the same 1080p frame, and the
// encoder's sustained rate at 1920x1080 with libx264 at the default quality-versus-speed (50).

#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <sys/resource.h>

#include <string>
#include <thread>
#include <vector>

#include "encode/ColorConverter.h"
#include "encode/Encoder.h"
#include "platform/gfx/Device.h"
#include "platform/system/DebugOutput.h"
#include "platform/system/SteadyClock.h"
#include "shaders/BgraToNv12.h"
#include "shaders/BlendCursor.h"
#include "support/AppDataFolder.h"
#include "support/FrameTextures.h"
#include "support/TempDir.h"

namespace tamro {
namespace {

constexpr uint32_t kWidth = 1920;
constexpr uint32_t kHeight = 1080;
constexpr int kEncodedFrames = 300;  // 10 s of 30 fps video
constexpr int64_t kFrameTicks = 333'333;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::vector<uint8_t> TestPattern(uint32_t width, uint32_t height) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>((i * 7) ^ (i >> 11));
    return pixels;
}

// Conversion, both GPU copies and the readback assembly, as the encoder calls it per frame.
void BM_ColorConverter1080p(benchmark::State& state) {
    auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    const std::vector<uint8_t> pattern = TestPattern(kWidth, kHeight);
    std::shared_ptr<gfx::Texture> frame;
    device->CreateTexture({.width = kWidth,
                           .height = kHeight,
                           .format = gfx::Format::kBGRA8,
                           .bindFlags = gfx::kBindShaderResource | gfx::kBindRenderTarget},
                          pattern.data(), kWidth * 4, &frame);
    ColorConverter converter;
    converter.Initialize(device.get(), kWidth, kHeight);
    gfx::Texture* image = nullptr;
    for (auto _ : state) {
        converter.Convert(frame.get(), &image);
        benchmark::DoNotOptimize(image);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ColorConverter1080p)->Unit(benchmark::kMillisecond);

void BM_LibyuvArgbToNv12_1080p(benchmark::State& state) {
    const std::vector<uint8_t> pattern = TestPattern(kWidth, kHeight);
    std::vector<uint8_t> nv12(kWidth * kHeight * 3 / 2);
    for (auto _ : state) {
        libyuv::ARGBToNV12(pattern.data(), kWidth * 4, nv12.data(), kWidth,
                           nv12.data() + kWidth * kHeight, kWidth, kWidth, kHeight);
        benchmark::DoNotOptimize(nv12.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LibyuvArgbToNv12_1080p)->Unit(benchmark::kMillisecond);

// Captured 1920x1080 frames written through WriteVideoFrame (converted at their own size, read
// back) as fast as the encoder takes them; a refused frame (queue full) is offered again
// after a short pause, as a capture would deliver the next one. Reports frames per second, CPU
// seconds per encoded second and the number of refusals.
void BM_EncoderSustained1080p(benchmark::State& state) {
    platform::SetDebugOutputToStandardError(false);
    test::AppDataFolder appData;
    test::TempDir dir;
    auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    std::vector<std::shared_ptr<gfx::Texture>> frames;
    for (int i = 0; i < 8; ++i) {
        const auto level = static_cast<uint8_t>(40 + i * 20);
        frames.push_back(test::SolidFrame(*device, kWidth, kHeight, {level, 80, 160, 255}));
        // Some texture so the encoder has detail to code.
        uint8_t* row = frames.back()->Row(kHeight / 2 + i);
        for (uint32_t x = 0; x < kWidth * 4; ++x)
            row[x] = static_cast<uint8_t>(x * (i + 1));
    }
    double fps = 0, cpuPerEncodedSecond = 0;
    int64_t refusals = 0;
    for (auto _ : state) {
        Encoder encoder;
        encoder.SetD3DDevice(device.get());
        EncoderSettings settings{.path = (dir.path() / "bench.mp4").string(),
                                 .width = kWidth,
                                 .height = kHeight,
                                 .fps = 30,
                                 .videoBitrate = 8'000'000,
                                 .hasAudio = false};
        encoder.Initialize(settings);
        const double cpuStart = CpuSeconds();
        const int64_t start = platform::SteadyClockNs();
        for (int i = 0; i < kEncodedFrames; ++i) {
            while (!encoder.WriteVideoFrame(frames[i % frames.size()].get(), i * kFrameTicks)) {
                ++refusals;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        encoder.Finalize();
        const double seconds = static_cast<double>(platform::SteadyClockNs() - start) / 1e9;
        fps = kEncodedFrames / seconds;
        cpuPerEncodedSecond = (CpuSeconds() - cpuStart) / (kEncodedFrames / 30.0);
    }
    state.counters["fps"] = fps;
    state.counters["cpu_s_per_encoded_s"] = cpuPerEncodedSecond;
    state.counters["refused"] = static_cast<double>(refusals);
}
BENCHMARK(BM_EncoderSustained1080p)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
}  // namespace tamro

namespace tamro {
namespace {

// The variant of a kernel's row that state.range(0) indexes (0 is the plain reference), named in
// the run's label; null, the run skipped, when this processor cannot run it.
template <typename Row>
const shaders::RowVariant<Row>* BenchedVariant(benchmark::State& state,
                                               const shaders::RowSelection<Row>& selection) {
    const shaders::RowVariant<Row>& variant = selection.Variants()[state.range(0)];
    state.SetLabel(std::string(variant.name));
    if (!variant.Runs()) {
        state.SkipWithError("this processor cannot run the variant");
        return nullptr;
    }
    return &variant;
}

template <typename Row>
int64_t LastVariant(const shaders::RowSelection<Row>& selection) {
    return static_cast<int64_t>(selection.Variants().size()) - 1;
}

// The conversion kernel alone, without the staging copies and readback, one run per variant of
// its row (state.range(0) indexes the table: 0 is the plain reference).
void BM_BgraToNv12Kernel1080p(benchmark::State& state) {
    const auto* variant = BenchedVariant(state, shaders::BgraToNv12RowPairs());
    if (!variant)
        return;
    const std::vector<uint8_t> pattern = TestPattern(kWidth, kHeight);
    std::vector<uint8_t> nv12(kWidth * kHeight * 3 / 2);
    for (auto _ : state) {
        for (uint32_t y = 0; y < kHeight; y += 2) {
            variant->row(pattern.data() + y * kWidth * 4, pattern.data() + (y + 1) * kWidth * 4,
                         nv12.data() + y * kWidth, nv12.data() + (y + 1) * kWidth,
                         nv12.data() + kWidth * kHeight + y / 2 * kWidth, kWidth, false);
        }
        benchmark::DoNotOptimize(nv12.data());
    }
}
BENCHMARK(BM_BgraToNv12Kernel1080p)
    ->ArgName("variant")
    ->DenseRange(0, LastVariant(shaders::BgraToNv12RowPairs()))
    ->Unit(benchmark::kMillisecond);

// The cursor blend, per variant of its row, over a 64 x 64 cursor (XFixes' usual largest) of
// partly transparent pixels.
void BM_BlendCursor64(benchmark::State& state) {
    const auto* variant = BenchedVariant(state, shaders::BlendCursorRows());
    if (!variant)
        return;
    constexpr uint32_t kCursor = 64;
    std::vector<uint8_t> cursor = TestPattern(kCursor, kCursor);
    std::vector<uint8_t> frame = TestPattern(kCursor, kCursor);
    for (auto _ : state) {
        for (uint32_t y = 0; y < kCursor; ++y)
            variant->row(cursor.data() + y * kCursor * 4, frame.data() + y * kCursor * 4, kCursor);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetItemsProcessed(state.iterations() * kCursor * kCursor);
}
BENCHMARK(BM_BlendCursor64)
    ->ArgName("variant")
    ->DenseRange(0, LastVariant(shaders::BlendCursorRows()));

}  // namespace
}  // namespace tamro

namespace tamro {
namespace {

// The conversion as the encoder runs it, through the device's dispatch: in row bands over the
// worker pool (state.range(0) threads, the caller's included), against the kernel on one thread
// above and libyuv's ARGBToNV12.
void BM_BgraToNv12Dispatch1080p(benchmark::State& state) {
    auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    gfx::TextureDesc desc;
    desc.width = kWidth;
    desc.height = kHeight;
    desc.format = gfx::Format::kBGRA8;
    desc.bindFlags = gfx::kBindShaderResource;
    std::shared_ptr<gfx::Texture> frame, luma, chroma;
    const std::vector<uint8_t> pattern = TestPattern(kWidth, kHeight);
    device->CreateTexture(desc, pattern.data(), kWidth * 4, &frame);
    desc.format = gfx::Format::kR8;
    desc.bindFlags = gfx::kBindUnorderedAccess;
    device->CreateTexture(desc, nullptr, 0, &luma);
    desc.width = kWidth / 2;
    desc.height = kHeight / 2;
    desc.format = gfx::Format::kR8G8;
    device->CreateTexture(desc, nullptr, 0, &chroma);
    const gfx::Kernel* kernel = nullptr;
    device->CompileKernel("BgraToNv12", &kernel);
    gfx::Texture* inputs[] = {frame.get()};
    gfx::Texture* outputs[] = {luma.get(), chroma.get()};
    gfx::DeviceContext& context = device->ImmediateContext();
    context.SetParallelism(static_cast<unsigned>(state.range(0)));
    for (auto _ : state) {
        if (context.Dispatch(*kernel, {inputs, outputs}) != kOk) {
            state.SkipWithError("dispatch failed");
            break;
        }
    }
}
BENCHMARK(BM_BgraToNv12Dispatch1080p)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace tamro
