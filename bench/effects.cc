// The background effect kernels per 1280x720 camera frame, through the device's dispatch on two
// threads (this machine's cores): the strong blur's two passes plus the mask composite, the way
// the effect processor runs them per frame, then each kernel alone. Each figure is over 100
// frames; the median is the one to read, as on a shared machine the other load only ever adds.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/gfx/Device.h"
#include "shaders/EffectBlur.h"
#include "shaders/EffectComposite.h"
#include "shaders/EffectFill.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

using shaders::BlurConstants;
using shaders::CompositeConstants;

constexpr uint32_t kMaskWidth = 256;  // the landscape segmentation model's input
constexpr uint32_t kMaskHeight = 144;
constexpr float kStrongRadius = 25;
constexpr int kFrames = 100;

// A frame's worth of textures and the kernels, as the effect processor holds them.
struct Frame {
    Frame(uint32_t width, uint32_t height) : width(width), height(height) {
        device = gfx::Device::Create(gfx::DriverType::kHardware);
        device->ImmediateContext().SetParallelism(2);
        std::vector<uint8_t> pixels(size_t{width} * height * 4);
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = static_cast<uint8_t>((i * 7) ^ (i >> 11));
        camera = Make(width, height, gfx::Format::kBGRA8, pixels.data());
        temporary = Make(width, height, gfx::Format::kRGBA8, nullptr);
        working = Make(width, height, gfx::Format::kRGBA8, nullptr);
        output = Make(width, height, gfx::Format::kBGRA8, nullptr);
        picture = Make(1920, 1080, gfx::Format::kRGBA8, nullptr);
        // A person-shaped disc in the middle of the mask, with a soft edge.
        std::vector<float> values(kMaskWidth * kMaskHeight);
        for (uint32_t i = 0; i < values.size(); ++i) {
            const float dx = static_cast<float>(i % kMaskWidth) - kMaskWidth / 2.0f;
            const float dy = static_cast<float>(i / kMaskWidth) - kMaskHeight / 2.0f;
            values[i] = std::clamp(50.0f - std::sqrt(dx * dx + dy * dy), 0.0f, 1.0f);
        }
        mask = Make(kMaskWidth, kMaskHeight, gfx::Format::kR32F, values.data());
        const float scale = std::min(static_cast<float>(kMaskWidth) / static_cast<float>(width),
                                     static_cast<float>(kMaskHeight) / static_cast<float>(height));
        composite = {scale, (kMaskWidth - scale * static_cast<float>(width)) / 2,
                     (kMaskHeight - scale * static_cast<float>(height)) / 2, 1};
    }

    std::shared_ptr<gfx::Texture> Make(uint32_t w, uint32_t h, gfx::Format format,
                                       const void* data) {
        std::shared_ptr<gfx::Texture> texture;
        device->CreateTexture({.width = w, .height = h, .format = format}, data, w * 4, &texture);
        return texture;
    }

    template <typename Constants>
    bool Run(std::string_view name, std::vector<gfx::Texture*> inputs, gfx::Texture* out,
             const Constants& k) {
        const gfx::Kernel* kernel = nullptr;
        return device->CompileKernel(name, &kernel) == kOk &&
               device->ImmediateContext().Dispatch(*kernel, {inputs, {&out, 1}, &k, sizeof(k)}) ==
                   kOk;
    }

    bool BlurHorizontal() {
        return Run("EffectBlurHorizontal", {camera.get()}, temporary.get(),
                   BlurConstants{kStrongRadius, 1.0f / width, 1.0f / height, 0});
    }
    bool BlurVertical() {
        return Run("EffectBlurVertical", {temporary.get()}, working.get(),
                   BlurConstants{kStrongRadius, 1.0f / width, 1.0f / height, 0});
    }
    bool Composite() {
        return Run("EffectMaskComposite", {camera.get(), working.get(), mask.get()}, output.get(),
                   composite);
    }

    uint32_t width, height;
    std::shared_ptr<gfx::Device> device;
    std::shared_ptr<gfx::Texture> camera, temporary, working, output, picture, mask;
    CompositeConstants composite;
};

// Every repetition runs on the same textures and the same started worker pool, after one run
// outside the timing.
Frame& SharedFrame(int64_t width, int64_t height) {
    static Frame frame(static_cast<uint32_t>(width), static_cast<uint32_t>(height));
    return frame;
}

template <typename Step>
void Loop(benchmark::State& state, int64_t width, int64_t height, Step step) {
    Frame& frame = SharedFrame(width, height);
    if (frame.width != width || frame.height != height || !step(frame)) {
        state.SkipWithError("a dispatch failed");
        return;
    }
    for (auto _ : state) {
        if (!step(frame)) {
            state.SkipWithError("a dispatch failed");
            break;
        }
    }
}

void BM_BlurStrongPlusComposite(benchmark::State& state, int64_t width, int64_t height) {
    Loop(state, width, height,
         [](Frame& f) { return f.BlurHorizontal() && f.BlurVertical() && f.Composite(); });
}

void BM_BlurHorizontal(benchmark::State& state, int64_t width, int64_t height) {
    Loop(state, width, height, [](Frame& f) { return f.BlurHorizontal(); });
}

void BM_BlurVertical(benchmark::State& state, int64_t width, int64_t height) {
    Loop(state, width, height, [](Frame& f) { return f.BlurVertical(); });
}

void BM_MaskComposite(benchmark::State& state, int64_t width, int64_t height) {
    Loop(state, width, height, [](Frame& f) { return f.Composite(); });
}

void BM_ChannelSwap(benchmark::State& state, int64_t width, int64_t height) {
    Loop(state, width, height,
         [](Frame& f) { return f.Run("EffectChannelSwap", {f.working.get()}, f.output.get(), 0); });
}

void BM_ColorFill(benchmark::State& state, int64_t width, int64_t height) {
    Loop(state, width, height, [](Frame& f) {
        return f.Run("EffectColorFill", {}, f.working.get(),
                     shaders::FillColorConstants{{0.2f, 0.2f, 0.2f, 1}});
    });
}

void BM_GradientFill(benchmark::State& state, int64_t width, int64_t height) {
    Loop(state, width, height, [](Frame& f) {
        return f.Run("EffectGradientFill", {}, f.working.get(),
                     shaders::GradientConstants{{0.1f, 0.1f, 0.1f, 1}, {0.3f, 0.3f, 0.3f, 1}});
    });
}

void BM_ImageCover(benchmark::State& state, int64_t width, int64_t height) {
    Loop(state, width, height, [](Frame& f) {
        return f.Run("EffectImageCover", {f.picture.get()}, f.working.get(),
                     shaders::ImageCoverConstants{1920, 1080, static_cast<float>(f.width),
                                                  static_cast<float>(f.height)});
    });
}

// One frame per repetition, so that the aggregates are over frames.
#define EFFECT_BENCHMARK(function)                   \
    BENCHMARK_CAPTURE(function, 1280x720, 1280, 720) \
        ->Iterations(1)                              \
        ->Repetitions(kFrames)                       \
        ->ReportAggregatesOnly(true)                 \
        ->Unit(benchmark::kMillisecond)              \
        ->UseRealTime()

EFFECT_BENCHMARK(BM_BlurStrongPlusComposite);
EFFECT_BENCHMARK(BM_BlurHorizontal);
EFFECT_BENCHMARK(BM_BlurVertical);
EFFECT_BENCHMARK(BM_MaskComposite);
EFFECT_BENCHMARK(BM_ChannelSwap);
EFFECT_BENCHMARK(BM_ColorFill);
EFFECT_BENCHMARK(BM_GradientFill);
EFFECT_BENCHMARK(BM_ImageCover);

}  // namespace
}  // namespace tamro
