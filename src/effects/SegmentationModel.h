#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "effects/CachedOnnxSession.h"
#include "platform/gfx/Device.h"

namespace tamro {

// Runs the person-segmentation network on a camera frame: letterboxes the frame into the model's
// input, runs the process's shared session for the model file and returns the mask (1 person,
// 0 background) as an R32F texture of the model's size.
// Threading: one thread at a time per instance (the frame thread of its pipeline); instances on
// different threads share the session safely.
class SegmentationModel {
  public:
    struct Options {
        // Where the model files are looked for; unset: the executable's folder.
        std::optional<std::filesystem::path> executableDirectory;
    };

    SegmentationModel();
    explicit SegmentationModel(Options options);
    SegmentationModel(const SegmentationModel&) = delete;
    SegmentationModel& operator=(const SegmentationModel&) = delete;

    // With a null device it only loads the model; that instance cannot Run.
    bool Initialize(gfx::Device* device);
    bool LoadModel();
    // `*mask` stays valid until the next Run.
    bool Run(gfx::Texture* input, gfx::Texture** mask);

    bool IsReady() const { return m_ready; }
    bool UsesDirectML() const { return m_usesDirectML; }
    bool IsNCHW() const { return m_isNCHW; }
    int32_t ModelWidth() const { return m_modelWidth; }
    int32_t ModelHeight() const { return m_modelHeight; }

    // The first model file of the search list that exists under `folder`.
    static std::optional<std::filesystem::path> FindModelFile(const std::filesystem::path& folder);

  private:
    std::optional<std::filesystem::path> ModelPath() const;
    bool CreateTextures();
    bool ResizeInput(gfx::Texture* input);
    bool FillInputBuffer();
    bool WriteMask(const std::vector<float>& output, gfx::Texture** mask);

    Options m_options;
    gfx::Device* m_device = nullptr;
    bool m_ready = false;
    bool m_usesDirectML = false;
    bool m_isNCHW = false;
    int32_t m_modelWidth = 256;
    int32_t m_modelHeight = 256;
    std::shared_ptr<CachedOnnxSession> m_session;
    std::vector<float> m_inputBuffer;
    std::vector<float> m_output;

    std::shared_ptr<gfx::Texture> m_stagingInput;
    std::shared_ptr<gfx::Texture> m_stagingOutput;
    std::shared_ptr<gfx::Texture> m_resizedInput;
    std::shared_ptr<gfx::Texture> m_outputMask;
    const gfx::Kernel* m_letterbox = nullptr;
};

}  // namespace tamro
