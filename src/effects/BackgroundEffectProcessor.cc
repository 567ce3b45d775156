#include "effects/BackgroundEffectProcessor.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "diag/Log.h"
#include "effects/EffectPresets.h"
#include "shaders/EffectBlur.h"
#include "shaders/EffectComposite.h"
#include "shaders/EffectFill.h"
#include "tamro/ResultCode.h"

namespace tamro {

namespace {

// Without a model the composite maps frames into a square of this size.
constexpr int32_t kDefaultModelSize = 256;

gfx::TextureDesc FrameTexture(uint32_t width, uint32_t height, gfx::Format format,
                              uint32_t misc = gfx::kMiscNone) {
    gfx::TextureDesc desc;
    desc.width = width;
    desc.height = height;
    desc.format = format;
    desc.bindFlags = gfx::kBindShaderResource | gfx::kBindUnorderedAccess;
    desc.miscFlags = misc;
    return desc;
}

}  // namespace

BackgroundEffectProcessor::BackgroundEffectProcessor() = default;

BackgroundEffectProcessor::BackgroundEffectProcessor(Options options)
    : m_options(std::move(options)) {}

BackgroundEffectProcessor::~BackgroundEffectProcessor() {
    Shutdown();
}

bool BackgroundEffectProcessor::Initialize(gfx::Device* device, uint32_t width, uint32_t height) {
    if (!device || width == 0 || height == 0) {
        LogLine("[BackgroundEffectProcessor] Invalid parameters\n");
        return false;
    }
    m_device = device;
    m_context = &device->ImmediateContext();
    InitializeModel();
    if (!CreateTextures(width, height)) {
        LogLine("[BackgroundEffectProcessor] Failed to create textures\n");
        return false;
    }
    if (!CompileKernels()) {
        LogLine("[BackgroundEffectProcessor] Failed to create shaders\n");
        return false;
    }
    m_images.Locate(device, m_options.executableDirectory);
    m_gpuMonitor = std::make_unique<GpuMonitor>();
    if (!m_gpuMonitor->Initialize(device)) {
        LogLine(
            "[BackgroundEffectProcessor] GPU monitor init failed, Auto mode uses static "
            "Performance-tier skip interval\n");
        m_gpuMonitor.reset();
    }
    m_initialized = true;
    return true;
}

void BackgroundEffectProcessor::InitializeModel() {
    m_segmentation = std::make_unique<SegmentationModel>(
        SegmentationModel::Options{m_options.executableDirectory});
    if (!m_segmentation->Initialize(m_device)) {
        LogLine("[BackgroundEffectProcessor] Segmentation model initialization failed\n");
        LogLine("[BackgroundEffectProcessor] To enable ML effects:\n");
        LogLine("  1. Download selfie_segmentation.onnx from MediaPipe\n");
        LogLine("  2. Place in Assets/models/ folder\n");
        LogLine("  3. Ensure ONNX Runtime NuGet package is installed\n");
        m_segmentation.reset();
    }
    m_mlAvailable = m_segmentation && m_segmentation->UsesDirectML();
    if (!m_mlAvailable)
        LogLine("[BackgroundEffectProcessor] DirectML not available, blur-only mode\n");
}

bool BackgroundEffectProcessor::CreateTextures(uint32_t width, uint32_t height) {
    const int32_t maskWidth = m_segmentation ? m_segmentation->ModelWidth() : kDefaultModelSize;
    const int32_t maskHeight = m_segmentation ? m_segmentation->ModelHeight() : kDefaultModelSize;
    const uint32_t mw = static_cast<uint32_t>(maskWidth), mh = static_cast<uint32_t>(maskHeight);
    const uint32_t halfWidth = (width + 1) / 2, halfHeight = (height + 1) / 2;
    struct Wanted {
        gfx::TextureDesc desc;
        std::shared_ptr<gfx::Texture>* texture;
        const char* failure;
    };
    const Wanted wanted[] = {
        {FrameTexture(width, height, gfx::Format::kRGBA8), &m_working,
         "[BackgroundEffectProcessor] Failed to create output texture: 0x%08X\n"},
        {FrameTexture(width, height, gfx::Format::kRGBA8), &m_background,
         "[BackgroundEffectProcessor] Failed to create background texture\n"},
        {FrameTexture(halfWidth, halfHeight, gfx::Format::kBGRA8), &m_halfFrame,
         "[BackgroundEffectProcessor] Failed to create blur temp texture\n"},
        {FrameTexture(halfWidth, halfHeight, gfx::Format::kRGBA8), &m_blurTemp,
         "[BackgroundEffectProcessor] Failed to create blur temp texture\n"},
        {FrameTexture(halfWidth, halfHeight, gfx::Format::kRGBA8), &m_halfBlur,
         "[BackgroundEffectProcessor] Failed to create blur temp texture\n"},
        {FrameTexture(mw, mh, gfx::Format::kR32F), &m_mask,
         "[BackgroundEffectProcessor] Failed to create mask texture\n"},
        {FrameTexture(mw, mh, gfx::Format::kR32F, gfx::kMiscShared), &m_sharedMask,
         "[BackgroundEffectProcessor] Failed to create shared mask texture\n"},
        {FrameTexture(width, height, gfx::Format::kBGRA8), &m_output,
         "[BackgroundEffectProcessor] Failed to create BGRA output texture\n"},
    };
    for (const Wanted& texture : wanted) {
        const int32_t result = m_device->CreateTexture(texture.desc, nullptr, 0, texture.texture);
        if (Failed(result)) {
            LogLine(texture.failure, static_cast<uint32_t>(result));
            ReleaseFrameTextures();
            return false;
        }
    }
    m_width = width;
    m_height = height;
    return true;
}

bool BackgroundEffectProcessor::CompileKernels() {
    const std::pair<const char*, const gfx::Kernel**> kernels[] = {
        {"blur vertical", &m_kernels.blurVertical}, {"blur horizontal", &m_kernels.blurHorizontal},
        {"composite", &m_kernels.composite},        {"color fill", &m_kernels.colorFill},
        {"image cover", &m_kernels.imageCover},     {"channel swap", &m_kernels.channelSwap},
        {"gradient fill", &m_kernels.gradientFill}, {"scale", &m_kernels.scale},
    };
    const char* names[] = {"EffectBlurVertical", "EffectBlurHorizontal", "EffectMaskComposite",
                           "EffectColorFill",    "EffectImageCover",     "EffectChannelSwap",
                           "EffectGradientFill", "EffectScale"};
    for (size_t i = 0; i < std::size(kernels); ++i) {
        if (Failed(m_device->CompileKernel(names[i], kernels[i].second))) {
            LogLine("[BackgroundEffectProcessor] Failed to compile %s shader\n", kernels[i].first);
            return false;
        }
    }
    return true;
}

void BackgroundEffectProcessor::SetConfig(const BackgroundEffectConfig& config) {
    const bool autoQuality = config.Quality == 1 && config.Mode != 0;
    {
        std::lock_guard lock(m_configMutex);
        m_config.effect = config;
        m_config.autoQuality = autoQuality;
        m_config.skipInterval = SkipInterval(config.Quality);
        m_frameCounter = m_config.skipInterval;
        m_imageWarned = false;
    }
    if (m_gpuMonitor) {
        std::lock_guard lock(m_monitorMutex);
        if (autoQuality && !m_gpuMonitor->Running())
            m_gpuMonitor->Start();
        else if (!autoQuality)
            m_gpuMonitor->Stop();
    }
    if (config.Mode == 4)
        m_images.Prepare(config.ImagePreset);
}

BackgroundEffectProcessor::Config BackgroundEffectProcessor::CurrentConfig() {
    std::lock_guard lock(m_configMutex);
    return m_config;
}

int32_t BackgroundEffectProcessor::SkipIntervalForTesting() const {
    std::lock_guard lock(m_configMutex);
    return m_config.skipInterval;
}

uint64_t BackgroundEffectProcessor::SharedMaskHandle() const {
    return m_sharedMask ? m_sharedMask->SharedHandle() : 0;
}

bool BackgroundEffectProcessor::EnsureFrameSize(uint32_t width, uint32_t height) {
    if (width == 0 || height == 0 || !m_initialized)
        return false;
    if (width == m_width && height == m_height)
        return true;
    ReleaseFrameTextures();
    {
        std::lock_guard lock(m_configMutex);
        m_frameCounter = m_config.skipInterval;
    }
    return CreateTextures(width, height);
}

bool BackgroundEffectProcessor::ProcessFrame(gfx::Texture* input, gfx::Texture** output) {
    if (!m_initialized || !input || !output) {
        LogLine("[BackgroundEffectProcessor] ProcessFrame: invalid params or not initialized\n");
        return false;
    }
    *output = input;
    if (!EnsureFrameSize(input->Width(), input->Height())) {
        LogLine("[BackgroundEffectProcessor] ProcessFrame: EnsureFrameSize failed\n");
        return false;
    }
    Config config = CurrentConfig();
    const BackgroundEffectConfig& effect = config.effect;
    if (effect.Mode == 0 || effect.Quality == 0)
        return true;
    if (!m_segmentation && effect.Mode != 1)
        return true;
    if (effect.Mode < 0 || effect.Mode > 4)
        return true;
    if (config.autoQuality && m_gpuMonitor && m_gpuMonitor->Running()) {
        const int32_t tier = m_gpuMonitor->Tier();
        config.skipInterval = tier == 1 ? 1 : tier == 2 ? 2 : 3;
    }
    const bool segmentNow = SegmentationDue(config);
    if (segmentNow)
        Segment(input);

    gfx::Texture* background = m_background.get();
    switch (effect.Mode) {
        case 1:
            ApplyBlurEffect(input, m_working.get(), effect.BlurIntensity);
            if (!m_segmentation) {
                ApplyChannelSwap();
                *output = m_output.get();
                ++m_processedFrames;
                return true;
            }
            background = m_working.get();
            break;
        default:
            DrawBackground(effect);
            break;
    }
    CompositeWithMask(input, background);
    if (segmentNow)
        m_context->CopyResource(m_sharedMask.get(), m_mask.get());
    *output = m_output.get();
    ++m_processedFrames;
    return true;
}

bool BackgroundEffectProcessor::SegmentationDue(const Config& config) {
    if (!m_mlAvailable || ++m_frameCounter < config.skipInterval)
        return false;
    m_frameCounter = 0;
    return true;
}

void BackgroundEffectProcessor::Segment(gfx::Texture* input) {
    gfx::Texture* mask = nullptr;
    if (!m_segmentation->Run(input, &mask) || !mask ||
        Failed(m_context->CopyResource(m_mask.get(), mask))) {
        // Said for the first failure and every 30th after: a failing model fails every frame.
        if (m_segmentationFailures())
            LogLine("[BackgroundEffectProcessor] Segmentation inference failed\n");
    }
}

// A fill or picture stays in the background texture until the setting or the frame size
// changes; a picture not loaded yet is looked for again on the next frame.
void BackgroundEffectProcessor::DrawBackground(const BackgroundEffectConfig& effect) {
    const int32_t preset = effect.Mode == 2   ? effect.SolidColorPreset
                           : effect.Mode == 3 ? effect.GradientPreset
                                              : effect.ImagePreset;
    const std::pair<int32_t, int32_t> wanted{effect.Mode, preset};
    if (m_drawnBackground == wanted)
        return;
    m_drawnBackground = wanted;
    if (effect.Mode == 2)
        ApplySolidColorBackground(effect.SolidColorPreset);
    else if (effect.Mode == 3)
        ApplyGradientBackground(effect.GradientPreset);
    else
        ApplyImageBackground(effect);
}

bool BackgroundEffectProcessor::Dispatch(const gfx::Kernel* kernel,
                                         std::initializer_list<gfx::Texture*> inputs,
                                         gfx::Texture* output, const void* constants, size_t size) {
    gfx::Texture* const outputs[] = {output};
    const gfx::KernelArgs args{std::span<gfx::Texture* const>(inputs.begin(), inputs.size()),
                               outputs, constants, size};
    return Succeeded(m_context->Dispatch(*kernel, args));
}

void BackgroundEffectProcessor::ApplyBlurEffect(gfx::Texture* input, gfx::Texture* target,
                                                int32_t intensity) {
    if (!input || !target) {
        LogLine("[BackgroundEffectProcessor] ApplyBlurEffect: null input or output texture\n");
        return;
    }
    // Half the radius on the half-size frame: shrinking by box averaging and growing back
    // bilinearly widen the Gaussian by well under a pixel.
    const float radius = std::round(static_cast<float>(BlurRadius(intensity)) / 2.0f);
    const shaders::BlurConstants constants{radius, 1.0f / static_cast<float>(m_halfFrame->Width()),
                                           1.0f / static_cast<float>(m_halfFrame->Height()), 0.0f};
    Dispatch(m_kernels.scale, {input}, m_halfFrame.get(), nullptr, 0);
    Dispatch(m_kernels.blurHorizontal, {m_halfFrame.get()}, m_blurTemp.get(), &constants,
             sizeof constants);
    Dispatch(m_kernels.blurVertical, {m_blurTemp.get()}, m_halfBlur.get(), &constants,
             sizeof constants);
    Dispatch(m_kernels.scale, {m_halfBlur.get()}, target, nullptr, 0);
}

void BackgroundEffectProcessor::ApplyChannelSwap() {
    Dispatch(m_kernels.channelSwap, {m_working.get()}, m_output.get(), nullptr, 0);
}

void BackgroundEffectProcessor::ApplySolidColorBackground(int32_t preset) {
    const EffectColor color = SolidColorPreset(preset);
    shaders::FillColorConstants constants;
    std::copy(color.begin(), color.end(), constants.color);
    Dispatch(m_kernels.colorFill, {}, m_background.get(), &constants, sizeof constants);
}

void BackgroundEffectProcessor::ApplyGradientBackground(int32_t preset) {
    const EffectGradient gradient = GradientPreset(preset);
    shaders::GradientConstants constants;
    std::copy(gradient.top.begin(), gradient.top.end(), constants.start);
    std::copy(gradient.bottom.begin(), gradient.bottom.end(), constants.end);
    Dispatch(m_kernels.gradientFill, {}, m_background.get(), &constants, sizeof constants);
}

void BackgroundEffectProcessor::ApplyImageBackground(const BackgroundEffectConfig& effect) {
    const std::shared_ptr<gfx::Texture> image = m_images.Get(effect.ImagePreset);
    if (!image) {
        m_drawnBackground.reset();
        bool warn = false;
        {
            std::lock_guard lock(m_configMutex);
            warn = !std::exchange(m_imageWarned, true);
        }
        // Said once per setting: the frame thread would repeat it 30 times a second.
        if (warn)
            LogLine("[BackgroundEffectProcessor] Image preset not loaded, using solid color\n");
        ApplySolidColorBackground(effect.SolidColorPreset);
        return;
    }
    const shaders::ImageCoverConstants constants{
        static_cast<float>(image->Width()), static_cast<float>(image->Height()),
        static_cast<float>(m_width), static_cast<float>(m_height)};
    Dispatch(m_kernels.imageCover, {image.get()}, m_background.get(), &constants, sizeof constants);
}

void BackgroundEffectProcessor::CompositeWithMask(gfx::Texture* input, gfx::Texture* background) {
    const float mw = static_cast<float>(m_mask->Width());
    const float mh = static_cast<float>(m_mask->Height());
    const float w = static_cast<float>(m_width), h = static_cast<float>(m_height);
    const float scale = std::min(mw / w, mh / h);
    // The background is RGBA and the camera BGRA: the kernel reads the background exchanged.
    const shaders::CompositeConstants constants{scale, (mw - scale * w) / 2.0f,
                                                (mh - scale * h) / 2.0f, 1.0f};
    if (!Dispatch(m_kernels.composite, {input, background, m_mask.get()}, m_output.get(),
                  &constants, sizeof constants)) {
        LogLine("[BackgroundEffectProcessor] CompositeWithMask: views not available\n");
    }
}

void BackgroundEffectProcessor::ReleaseFrameTextures() {
    m_drawnBackground.reset();
    m_working.reset();
    m_background.reset();
    m_halfFrame.reset();
    m_blurTemp.reset();
    m_halfBlur.reset();
    m_mask.reset();
    m_sharedMask.reset();
    m_output.reset();
    m_width = m_height = 0;
}

void BackgroundEffectProcessor::Shutdown() {
    m_initialized = false;
    {
        std::lock_guard lock(m_configMutex);
        m_config.autoQuality = false;
    }
    if (m_gpuMonitor) {
        std::lock_guard lock(m_monitorMutex);
        m_gpuMonitor->Stop();
    }
    m_gpuMonitor.reset();
    m_segmentation.reset();
    ReleaseFrameTextures();
}

}  // namespace tamro
