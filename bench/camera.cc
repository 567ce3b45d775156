// The camera's costs per frame.
//
// Frames on one core: a 1920x1080 webcam frame decoded to BGRA (MJPEG at quality 85 in 4:2:2 and
// 4:2:0, without Huffman tables as cameras send it; YUYV; NV12), the libjpeg settings the decoder
// chooses between, with the picture's fidelity to the encoder's input, and the synthetic camera's
// painting of one frame.
//
// The bubble per 1920x1080 frame: the screen copy alone, then the compositor's whole call (the
// same copy plus the bubble kernel) for a bubble 20 % of the frame wide, square in pixels, round,
// with a border, covering it with a 640x480 camera. The difference between the two is the
// bubble's own cost; it runs per variant of the kernel's row (0 is the plain reference) and per
// number of threads the device's dispatch may use.

#include <benchmark/benchmark.h>
// jpeglib.h uses FILE and size_t without including their headers.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "camera/CameraCompositor.h"
#include "platform/camera/FrameDecoder.h"
#include "platform/camera/SyntheticPicture.h"
#include "platform/gfx/Device.h"
#include "shaders/CameraComposite.h"
#include "support/JpegFrames.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

using platform::camera::Fourcc;
using platform::camera::Frame;
using platform::camera::FrameDecoder;
using platform::camera::SyntheticPicture;
using platform::camera::VideoFormat;

constexpr uint32_t kWidth = 1920;
constexpr uint32_t kHeight = 1080;

// A synthetic camera picture with sensor grain, which a real camera's frames always carry and
// which makes their JPEGs larger and slower to decode than a clean drawing.
std::vector<uint8_t> CameraPicture() {
    SyntheticPicture picture(kWidth, kHeight);
    const Frame frame = picture.Draw(1234, 41'300'000'000);
    std::vector<uint8_t> bgra(frame.data, frame.data + size_t{frame.stride} * frame.height);
    std::mt19937 random(7);
    std::normal_distribution<float> grain(0.0f, 3.0f);
    for (size_t i = 0; i < bgra.size(); ++i) {
        if (i % 4 != 3)
            bgra[i] = static_cast<uint8_t>(std::clamp(bgra[i] + grain(random), 0.0f, 255.0f));
    }
    return bgra;
}

const std::vector<uint8_t>& Picture() {
    static const std::vector<uint8_t> picture = CameraPicture();
    return picture;
}

std::vector<uint8_t> CameraJpeg(test::ChromaSubsampling subsampling) {
    return test::WithoutHuffmanTables(
        test::EncodeJpeg(Picture().data(), kWidth * 4, kWidth, kHeight, 85, subsampling));
}

test::ChromaSubsampling SubsamplingOf(const benchmark::State& state) {
    return state.range(0) == 420 ? test::ChromaSubsampling::k420 : test::ChromaSubsampling::k422;
}

// The least of the repetitions' times: on a shared machine the other load only ever adds.
double Least(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

void DecodeLoop(benchmark::State& state, uint32_t fourcc, const std::vector<uint8_t>& input) {
    FrameDecoder decoder;
    const VideoFormat format{fourcc, "", kWidth, kHeight, 30, 1};
    for (auto _ : state) {
        const Frame frame = decoder.Decode(format, input.data(), input.size());
        if (frame.data == nullptr) {
            state.SkipWithError("the frame did not decode");
            return;
        }
        benchmark::DoNotOptimize(frame.data[frame.stride * (kHeight / 2)]);
    }
    state.counters["input_kB"] = static_cast<double>(input.size()) / 1000.0;
}

void BM_MjpegDecode1080p(benchmark::State& state) {
    DecodeLoop(state, Fourcc('M', 'J', 'P', 'G'), CameraJpeg(SubsamplingOf(state)));
}
BENCHMARK(BM_MjpegDecode1080p)
    ->Arg(422)
    ->Arg(420)
    ->ComputeStatistics("least", Least)
    ->Unit(benchmark::kMillisecond);

void BM_YuyvDecode1080p(benchmark::State& state) {
    std::vector<uint8_t> yuyv(size_t{kWidth} * kHeight * 2);
    libyuv::ARGBToYUY2(Picture().data(), kWidth * 4, yuyv.data(), kWidth * 2, kWidth, kHeight);
    DecodeLoop(state, Fourcc('Y', 'U', 'Y', 'V'), yuyv);
}
BENCHMARK(BM_YuyvDecode1080p)->ComputeStatistics("least", Least)->Unit(benchmark::kMillisecond);

void BM_Nv12Decode1080p(benchmark::State& state) {
    std::vector<uint8_t> nv12(size_t{kWidth} * kHeight * 3 / 2);
    uint8_t* chroma = nv12.data() + size_t{kWidth} * kHeight;
    libyuv::ARGBToNV12(Picture().data(), kWidth * 4, nv12.data(), kWidth, chroma, kWidth, kWidth,
                       kHeight);
    DecodeLoop(state, Fourcc('N', 'V', '1', '2'), nv12);
}
BENCHMARK(BM_Nv12Decode1080p)->ComputeStatistics("least", Least)->Unit(benchmark::kMillisecond);

// Peak signal-to-noise ratio of `decoded` against the encoder's input, over B, G and R.
double Psnr(const std::vector<uint8_t>& decoded) {
    const std::vector<uint8_t>& source = Picture();
    double squares = 0;
    size_t samples = 0;
    for (size_t i = 0; i < source.size(); ++i) {
        if (i % 4 != 3) {
            const double d = static_cast<double>(decoded[i]) - source[i];
            squares += d * d;
            ++samples;
        }
    }
    return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(samples) / squares);
}

// The decoder's choices, straight through libjpeg: DCT (0 accurate integer, 1 fast integer) and
// chroma upsampling (1 fancy, 0 merged with the colour conversion).
void BM_JpegDecodeSettings(benchmark::State& state) {
    const std::vector<uint8_t> jpeg = CameraJpeg(test::ChromaSubsampling::k422);
    std::vector<uint8_t> bgra(size_t{kWidth} * kHeight * 4);
    std::vector<JSAMPROW> rows(kHeight);
    for (uint32_t y = 0; y < kHeight; ++y)
        rows[y] = bgra.data() + size_t{y} * kWidth * 4;
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    for (auto _ : state) {
        jpeg_mem_src(&info, jpeg.data(), jpeg.size());
        jpeg_read_header(&info, TRUE);
        info.out_color_space = JCS_EXT_BGRA;
        info.dct_method = state.range(0) == 0 ? JDCT_ISLOW : JDCT_IFAST;
        info.do_fancy_upsampling = state.range(1) != 0 ? TRUE : FALSE;
        jpeg_start_decompress(&info);
        while (info.output_scanline < kHeight) {
            jpeg_read_scanlines(&info, rows.data() + info.output_scanline,
                                kHeight - info.output_scanline);
        }
        jpeg_finish_decompress(&info);
    }
    jpeg_destroy_decompress(&info);
    state.counters["psnr_dB"] = Psnr(bgra);
}
BENCHMARK(BM_JpegDecodeSettings)
    ->ArgNames({"fast_dct", "fancy"})
    ->ArgsProduct({{0, 1}, {1, 0}})
    ->ComputeStatistics("least", Least)
    ->Unit(benchmark::kMillisecond);

void BM_SyntheticPicture(benchmark::State& state) {
    const auto height = static_cast<uint32_t>(state.range(0));
    SyntheticPicture picture(height * 16 / 9, height);
    uint32_t number = 0;
    for (auto _ : state) {
        const Frame frame = picture.Draw(number, int64_t{number} * 33'333'333);
        benchmark::DoNotOptimize(frame.data[0]);
        ++number;
    }
}
BENCHMARK(BM_SyntheticPicture)
    ->Arg(720)
    ->Arg(1080)
    ->ComputeStatistics("least", Least)
    ->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------------------------
// The bubble

constexpr uint32_t kScreenWidth = 1920;
constexpr uint32_t kScreenHeight = 1080;
constexpr uint32_t kBubbleCameraWidth = 640;
constexpr uint32_t kBubbleCameraHeight = 480;

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
    params.rectHeight = 0.2f * kScreenWidth / kScreenHeight;
    params.rectX = 0.78f;
    params.rectY = 0.6f;
    params.cornerRadius = 1;
    params.fillMode = 1;
    params.borderColor = {1, 1, 1, 1};
    params.borderWidth = 0.06f;
    params.cameraAspect = static_cast<float>(kBubbleCameraWidth) / kBubbleCameraHeight;
    return params;
}

void BM_ScreenCopy1080p(benchmark::State& state) {
    auto device = gfx::Device::Create(gfx::DriverType::kHardware);
    const auto screen = Pattern(*device, kScreenWidth, kScreenHeight);
    std::shared_ptr<gfx::Texture> output;
    device->CreateTexture({.width = kScreenWidth,
                           .height = kScreenHeight,
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
    const auto screen = Pattern(*device, kScreenWidth, kScreenHeight);
    const auto camera = Pattern(*device, kBubbleCameraWidth, kBubbleCameraHeight);
    CameraCompositor compositor;
    if (!compositor.Initialize(device.get(), kScreenWidth, kScreenHeight)) {
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
