// The background effect per 1280x720 camera frame on this machine's two cores. First the
// kernels through the device's dispatch: the strong blur's two passes plus the mask composite,
// the way the effect processor runs them per frame, then each kernel alone. Then the whole
// effect on the test camera's pictures with the converted landscape network: one segmentation,
// ProcessFrame at each quality, and a 30 fps camera at Auto in CPU seconds per second. Beside
// them, FFmpeg's gblur at the strong blur's sigma on the same frames. Each figure is over 100
// frames; the median is the one to read, as on a shared machine the other load only ever adds.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "effects/BackgroundEffectProcessor.h"
#include "effects/SegmentationModel.h"
#include "platform/camera/SyntheticPicture.h"
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

// ---------------------------------------------------------------------------------------------
// The whole effect on the test camera's pictures

constexpr uint32_t kCameraWidth = 1280;
constexpr uint32_t kCameraHeight = 720;
constexpr int kCameraFps = 30;

// A second of the test camera's frames as camera textures, played round and round.
struct CameraFrames {
    CameraFrames() : device(gfx::Device::Create(gfx::DriverType::kHardware)) {
        device->ImmediateContext().SetParallelism(2);
        platform::camera::SyntheticPicture picture(kCameraWidth, kCameraHeight);
        for (uint32_t i = 0; i < kCameraFps; ++i) {
            const platform::camera::Frame frame = picture.Draw(i, i * 1'000'000'000LL / kCameraFps);
            gfx::TextureDesc desc{.width = kCameraWidth, .height = kCameraHeight};
            desc.bindFlags = gfx::kBindShaderResource;
            std::shared_ptr<gfx::Texture> texture;
            device->CreateTexture(desc, frame.data, frame.stride, &texture);
            frames.push_back(std::move(texture));
        }
    }

    gfx::Texture* Next() { return frames[next++ % frames.size()].get(); }

    std::shared_ptr<gfx::Device> device;
    std::vector<std::shared_ptr<gfx::Texture>> frames;
    size_t next = 0;
};

CameraFrames& SharedCameraFrames() {
    static CameraFrames frames;
    return frames;
}

double ProcessCpuSeconds(int who = RUSAGE_SELF) {
    rusage usage{};
    getrusage(who, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void BM_Segmentation(benchmark::State& state) {
    CameraFrames& camera = SharedCameraFrames();
    static SegmentationModel model;
    static const bool ready = model.Initialize(camera.device.get());
    gfx::Texture* mask = nullptr;
    if (!ready || !model.Run(camera.Next(), &mask)) {
        state.SkipWithError("the segmentation model does not run (scripts/bootstrap.sh)");
        return;
    }
    for (auto _ : state)
        model.Run(camera.Next(), &mask);
    state.SetLabel(std::to_string(model.ModelWidth()) + "x" + std::to_string(model.ModelHeight()));
}

// Blur at the tool's default intensity (medium) with the model's mask, at `quality`.
std::unique_ptr<BackgroundEffectProcessor> BlurProcessor(CameraFrames& camera, int32_t quality) {
    auto processor = std::make_unique<BackgroundEffectProcessor>();
    if (!processor->Initialize(camera.device.get(), kCameraWidth, kCameraHeight) ||
        !processor->IsMlAvailable())
        return nullptr;
    processor->SetConfig({.Mode = 1, .BlurIntensity = 1, .Quality = quality});
    return processor;
}

// Kept across repetitions, so that each repetition times one frame of a running effect.
BackgroundEffectProcessor* RunningProcessor(CameraFrames& camera, int32_t quality) {
    static std::map<int32_t, std::unique_ptr<BackgroundEffectProcessor>> running;
    auto& processor = running[quality];
    if (!processor) {
        processor = BlurProcessor(camera, quality);
        gfx::Texture* output = nullptr;
        for (int i = 0; processor && i < kCameraFps; ++i)
            processor->ProcessFrame(camera.Next(), &output);
    }
    return processor.get();
}

void BM_ProcessFrame(benchmark::State& state, int32_t quality) {
    CameraFrames& camera = SharedCameraFrames();
    BackgroundEffectProcessor* processor = RunningProcessor(camera, quality);
    if (!processor) {
        state.SkipWithError("the segmentation model does not run (scripts/bootstrap.sh)");
        return;
    }
    gfx::Texture* output = nullptr;
    for (auto _ : state)
        processor->ProcessFrame(camera.Next(), &output);
}

// Five seconds of a 30 fps camera, each frame processed as it arrives: CPU seconds of every
// thread of the process (the worker pool's, the runtime's, the load monitor's) per second.
void BM_CameraAtAuto(benchmark::State& state) {
    CameraFrames& camera = SharedCameraFrames();
    auto processor = BlurProcessor(camera, 1);
    if (!processor) {
        state.SkipWithError("the segmentation model does not run (scripts/bootstrap.sh)");
        return;
    }
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::nanoseconds(1'000'000'000 / kCameraFps);
    for (auto _ : state) {
        const double cpuBefore = ProcessCpuSeconds();
        const auto start = Clock::now();
        gfx::Texture* output = nullptr;
        for (int i = 0; i < 5 * kCameraFps; ++i) {
            std::this_thread::sleep_until(start + i * period);
            processor->ProcessFrame(camera.Next(), &output);
        }
        std::this_thread::sleep_until(start + 5 * kCameraFps * period);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        state.counters["cpu_s_per_s"] = (ProcessCpuSeconds() - cpuBefore) / wall;
    }
}

// FFmpeg's gblur at sigma 25 over the same hundred frames (planar, as the filter takes them),
// run as the ffmpeg program: wall and CPU milliseconds per frame.
void BM_FfmpegGblur(benchmark::State& state) {
    CameraFrames& camera = SharedCameraFrames();
    const std::filesystem::path raw = std::filesystem::temp_directory_path() / "tamro-gblur.raw";
    {
        std::ofstream out(raw, std::ios::binary);
        std::vector<char> plane(size_t{kCameraWidth} * kCameraHeight);
        for (int i = 0; i < kFrames; ++i) {
            gfx::Texture* frame = camera.Next();
            // gbrap: the green, blue, red and alpha planes.
            for (int channel : {1, 0, 2, 3}) {
                for (uint32_t y = 0; y < kCameraHeight; ++y)
                    for (uint32_t x = 0; x < kCameraWidth; ++x)
                        plane[y * kCameraWidth + x] =
                            static_cast<char>(frame->Row(y)[x * 4 + channel]);
                out.write(plane.data(), static_cast<std::streamsize>(plane.size()));
            }
        }
    }
    const std::string command = "ffmpeg -v error -f rawvideo -pix_fmt gbrap -s 1280x720 -i " +
                                raw.string() + " -vf gblur=sigma=25 -f null - 2>&1";
    for (auto _ : state) {
        const double cpuBefore = ProcessCpuSeconds(RUSAGE_CHILDREN);
        const auto start = std::chrono::steady_clock::now();
        const int status = std::system(command.c_str());
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (status != 0) {
            state.SkipWithError("ffmpeg failed");
            break;
        }
        state.SetIterationTime(wall / kFrames);
        state.counters["cpu_ms_per_frame"] =
            (ProcessCpuSeconds(RUSAGE_CHILDREN) - cpuBefore) * 1000 / kFrames;
    }
    std::filesystem::remove(raw);
}

BENCHMARK(BM_Segmentation)
    ->Iterations(1)
    ->Repetitions(kFrames)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#define QUALITY_BENCHMARK(name, quality)              \
    BENCHMARK_CAPTURE(BM_ProcessFrame, name, quality) \
        ->Iterations(1)                               \
        ->Repetitions(kFrames)                        \
        ->ReportAggregatesOnly(true)                  \
        ->Unit(benchmark::kMillisecond)               \
        ->UseRealTime()
QUALITY_BENCHMARK(blur_every, 2);
QUALITY_BENCHMARK(blur_half, 3);
QUALITY_BENCHMARK(blur_third, 4);
QUALITY_BENCHMARK(blur_auto, 1);
BENCHMARK(BM_CameraAtAuto)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FfmpegGblur)->Iterations(1)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
}  // namespace tamro
