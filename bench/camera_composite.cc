// The camera bubble's cost per 1920x1080 frame: the screen copy alone, then the compositor's
// whole call (the same copy plus the bubble kernel) for a bubble 20 % of the frame wide, square
// in pixels, round, with a border, covering it with a 640x480 camera. The difference between the
// two is the bubble's own cost; it runs per variant of the kernel's row (0 is the plain
// reference) and per number of threads the device's dispatch may use.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "camera/CameraCompositor.h"
#include "platform/gfx/Device.h"
#include "shaders/CameraComposite.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

constexpr uint32_t kWidth = 1920;
constexpr uint32_t kHeight = 1080;
constexpr uint32_t kCameraWidth = 640;
constexpr uint32_t kCameraHeight = 480;

std::shared_ptr<gfx::Texture> Pattern(gfx::Device& device, uint32_t width, uint32_t height) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>((i * 7) ^ (i >> 11));
    std::shared_ptr<gfx::Texture> texture;
    device.CreateTexture({.width = width,
                          .height = height,
                          .bindFlags = gfx::kBindShaderResource | gfx::kBindRenderTarget},
                         pixels.data(), width * 4, &texture);
    return texture;
}

CameraOverlayParams Bubble() {
    CameraOverlayParams params;
    params.rectWidth = 0.2f;
    params.rectHeight = 0.2f * kWidth / kHeight;
    params.rectX = 0.78f;
    params.rectY = 0.6f;
    params.cornerRadius = 1;
    params.fillMode = 1;
    params.borderColor = {1, 1, 1, 1};
    params.borderWidth = 0.06f;
    params.cameraAspect = static_cast<float>(kCameraWidth) / kCameraHeight;
    return params;
}

void BM_ScreenCopy1080p(benchmark::State& state) {
    auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    const auto screen = Pattern(*device, kWidth, kHeight);
    std::shared_ptr<gfx::Texture> output;
    device->CreateTexture({.width = kWidth,
                           .height = kHeight,
                           .bindFlags = gfx::kBindShaderResource | gfx::kBindRenderTarget},
                          nullptr, 0, &output);
    for (auto _ : state) {
        if (device->ImmediateContext().CopyResource(output.get(), screen.get()) != kOk) {
            state.SkipWithError("copy failed");
            break;
        }
    }
}
BENCHMARK(BM_ScreenCopy1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

// state.range(0): the row variant; state.range(1): threads, the caller's included.
void BM_CopyAndBubble1080p(benchmark::State& state) {
    auto& rows = shaders::CameraCompositePixelRows();
    const auto& variant = rows.Variants()[state.range(0)];
    state.SetLabel(std::string(variant.name));
    if (!variant.Runs()) {
        state.SkipWithError("this processor cannot run the variant");
        return;
    }
    auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    device->ImmediateContext().SetParallelism(static_cast<unsigned>(state.range(1)));
    const auto screen = Pattern(*device, kWidth, kHeight);
    const auto camera = Pattern(*device, kCameraWidth, kCameraHeight);
    CameraCompositor compositor;
    if (!compositor.Initialize(device.get(), kWidth, kHeight)) {
        state.SkipWithError("Initialize failed");
        return;
    }
    const CameraOverlayParams params = Bubble();
    const auto* previous = rows.ForceForTesting(&variant);
    gfx::Texture* out = nullptr;
    for (auto _ : state) {
        if (!compositor.Composite(screen.get(), camera.get(), params, &out)) {
            state.SkipWithError("Composite failed");
            break;
        }
    }
    rows.ForceForTesting(previous);
}
BENCHMARK(BM_CopyAndBubble1080p)
    ->ArgNames({"variant", "threads"})
    ->ArgsProduct(
        {benchmark::CreateDenseRange(
             0, static_cast<int64_t>(shaders::CameraCompositePixelRows().Variants().size()) - 1, 1),
         {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace tamro
