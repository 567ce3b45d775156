#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "camera/ICameraFrameEffect.h"
#include "diag/RateLimit.h"
#include "effects/GpuMonitor.h"
#include "effects/PresetImages.h"
#include "effects/SegmentationModel.h"
#include "platform/gfx/Device.h"
#include "tamro/Records.h"

namespace tamro {

// Changes what is behind the person in camera frames: blur, a solid colour, a gradient or a
// preset picture, composited through the person mask of the segmentation model. The model runs
// on every n-th frame and its last mask serves in between; Auto quality takes n from the load
// monitor. Without a model only blur is offered, over the whole frame.
//
// Threading: Initialize and Shutdown from a control thread while no frame is processed;
// SetConfig from any thread; ProcessFrame from one frame thread at a time. The load monitor owns
// a thread while Auto quality is on.
class BackgroundEffectProcessor : public ICameraFrameEffect {
  public:
    struct Options {
        // Where models and pictures are looked for; unset: the executable's folder.
        std::optional<std::filesystem::path> executableDirectory;
    };

    BackgroundEffectProcessor();
    explicit BackgroundEffectProcessor(Options options);
    ~BackgroundEffectProcessor() override;
    BackgroundEffectProcessor(const BackgroundEffectProcessor&) = delete;
    BackgroundEffectProcessor& operator=(const BackgroundEffectProcessor&) = delete;

    bool Initialize(gfx::Device* device, uint32_t width, uint32_t height);
    void SetConfig(const BackgroundEffectConfig& config) override;
    // `*output` is the processed frame (valid until the next call) or `input` itself.
    bool ProcessFrame(gfx::Texture* input, gfx::Texture** output) override;
    uint64_t ProcessedFrames() const override { return m_processedFrames.load(); }
    void Shutdown();

    bool IsInitialized() const { return m_initialized.load(); }
    bool IsMlAvailable() const override { return m_mlAvailable.load(); }
    int32_t SkipIntervalForTesting() const;
    const SegmentationModel* Model() const { return m_segmentation.get(); }
    // The mask of the last segmentation, shared for other devices; 0 before the first.
    uint64_t SharedMaskHandle() const;

  private:
    struct Config {
        BackgroundEffectConfig effect;
        bool autoQuality = false;
        int32_t skipInterval = 3;
    };

    void InitializeModel();
    bool CreateTextures(uint32_t width, uint32_t height);
    bool CompileKernels();
    bool EnsureFrameSize(uint32_t width, uint32_t height);
    Config CurrentConfig();
    bool SegmentationDue(const Config& config);
    void Segment(gfx::Texture* input);
    bool Dispatch(const gfx::Kernel* kernel, std::initializer_list<gfx::Texture*> inputs,
                  gfx::Texture* output, const void* constants, size_t size);
    void ApplyBlurEffect(gfx::Texture* input, gfx::Texture* target, int32_t intensity);
    void ApplyChannelSwap();
    void ApplySolidColorBackground(int32_t preset);
    void ApplyGradientBackground(int32_t preset);
    void ApplyImageBackground(const BackgroundEffectConfig& effect);
    void DrawBackground(const BackgroundEffectConfig& effect);
    void CompositeWithMask(gfx::Texture* input, gfx::Texture* background);
    void ReleaseFrameTextures();

    Options m_options;
    gfx::Device* m_device = nullptr;
    gfx::DeviceContext* m_context = nullptr;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    std::atomic<bool> m_initialized{false};
    std::atomic<bool> m_mlAvailable{false};
    std::atomic<uint64_t> m_processedFrames{0};

    mutable std::mutex m_configMutex;
    Config m_config;             // under m_configMutex
    bool m_imageWarned = false;  // under m_configMutex: the image fallback was said once
    // Frames since the last segmentation: counted by the frame thread, reset by SetConfig.
    std::atomic<int32_t> m_frameCounter{0};
    std::mutex m_monitorMutex;  // orders starting and stopping the load monitor

    // What the background texture holds (mode, preset), so that an unchanged fill or picture is
    // not drawn again for every frame; cleared with the textures. Frame thread.
    std::optional<std::pair<int32_t, int32_t>> m_drawnBackground;
    EveryNth m_segmentationFailures{30};

    std::unique_ptr<SegmentationModel> m_segmentation;
    std::unique_ptr<GpuMonitor> m_gpuMonitor;
    PresetImages m_images;

    struct Kernels {
        const gfx::Kernel* blurHorizontal = nullptr;
        const gfx::Kernel* blurVertical = nullptr;
        const gfx::Kernel* composite = nullptr;
        const gfx::Kernel* imageCover = nullptr;
        const gfx::Kernel* colorFill = nullptr;
        const gfx::Kernel* channelSwap = nullptr;
        const gfx::Kernel* gradientFill = nullptr;
        const gfx::Kernel* scale = nullptr;
    } m_kernels;

    std::shared_ptr<gfx::Texture> m_working;     // RGBA8: the blurred frame
    std::shared_ptr<gfx::Texture> m_background;  // RGBA8: fills and pictures
    // The blur runs on the frame at half size: on a photograph it gives the full-size Gaussian to
    // within about two grey levels on average, for an eighth of the work.
    std::shared_ptr<gfx::Texture> m_halfFrame;   // BGRA8, half size: the frame shrunk
    std::shared_ptr<gfx::Texture> m_blurTemp;    // RGBA8, half size: between the blur passes
    std::shared_ptr<gfx::Texture> m_halfBlur;    // RGBA8, half size: the blurred frame
    std::shared_ptr<gfx::Texture> m_mask;        // R32F, model size
    std::shared_ptr<gfx::Texture> m_sharedMask;  // R32F, model size, shared
    std::shared_ptr<gfx::Texture> m_output;      // BGRA8
};

}  // namespace tamro
