#include "effects/SegmentationModel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <exception>

#include "diag/Log.h"
#include "platform/system/Environment.h"
#include "tamro/ResultCode.h"

namespace tamro {

namespace {

// In order: the first that exists wins. Relative to the executable's folder.
constexpr std::array<const char*, 14> kModelCandidates = {
    "Assets/models/modnet.onnx",
    "modnet.onnx",
    "models/modnet.onnx",
    "../../../../Assets/models/modnet.onnx",
    "../../../Assets/models/modnet.onnx",
    "../../Assets/models/modnet.onnx",
    "../Assets/models/modnet.onnx",
    "Assets/models/selfie_segmentation.onnx",
    "selfie_segmentation.onnx",
    "models/selfie_segmentation.onnx",
    "../../../../Assets/models/selfie_segmentation.onnx",
    "../../../Assets/models/selfie_segmentation.onnx",
    "../../Assets/models/selfie_segmentation.onnx",
    "../Assets/models/selfie_segmentation.onnx",
};

void LogModelNotFound() {
    LogLine("[SegmentationModel] Model file not found in any search path\n");
    LogLine("[SegmentationModel] To enable ML effects, download selfie_segmentation.onnx\n");
    LogLine("[SegmentationModel] from MediaPipe and place in Assets/models/ folder\n");
}

gfx::TextureDesc ModelTexture(int32_t width, int32_t height, gfx::Format format) {
    gfx::TextureDesc desc;
    desc.width = static_cast<uint32_t>(width);
    desc.height = static_cast<uint32_t>(height);
    desc.format = format;
    return desc;
}

}  // namespace

SegmentationModel::SegmentationModel() = default;

SegmentationModel::SegmentationModel(Options options) : m_options(std::move(options)) {}

std::optional<std::filesystem::path> SegmentationModel::FindModelFile(
    const std::filesystem::path& folder) {
    for (const char* candidate : kModelCandidates) {
        std::error_code error;
        const std::filesystem::path path = folder / candidate;
        if (std::filesystem::is_regular_file(path, error))
            return path.lexically_normal();
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> SegmentationModel::ModelPath() const {
    std::optional<std::filesystem::path> folder = m_options.executableDirectory
                                                      ? m_options.executableDirectory
                                                      : platform::ExecutableDirectory();
    std::optional<std::filesystem::path> path = folder ? FindModelFile(*folder) : std::nullopt;
    if (!path)
        LogModelNotFound();
    return path;
}

bool SegmentationModel::LoadModel() {
    const std::optional<std::filesystem::path> path = ModelPath();
    if (!path)
        return false;
    try {
        m_session = CachedOnnxSession::Shared(*path, [](const std::filesystem::path& file) {
            auto created = CachedOnnxSession::Create(file);
            LogLine("[SegmentationModel] Loaded %s: %dx%d %s input\n", file.c_str(), created->width,
                    created->height, created->isNCHW ? "NCHW" : "NHWC");
            return created;
        });
    } catch (const platform::ml::OnnxError& error) {
        LogLine("[SegmentationModel] ONNX error: %s\n", error.what());
        LogLine(
            "[SegmentationModel] ERROR: This usually means the model file is invalid or "
            "corrupted.\n");
        LogLine(
            "[SegmentationModel] NOTE: TFLite files renamed to .onnx will NOT work - you need "
            "a proper ONNX model.\n");
        LogLine(
            "[SegmentationModel] Convert TFLite to ONNX using tf2onnx, or download a "
            "pre-converted ONNX model.\n");
        return false;
    } catch (const std::exception& error) {
        LogLine("[SegmentationModel] Error loading model: %s\n", error.what());
        LogLine(
            "[SegmentationModel] ERROR: Model loading failed - check if the file is a valid "
            "ONNX model.\n");
        return false;
    }
    m_isNCHW = m_session->isNCHW;
    m_modelWidth = m_session->width;
    m_modelHeight = m_session->height;
    m_usesDirectML = m_session->usesDirectML;
    return true;
}

bool SegmentationModel::Initialize(gfx::Device* device) {
    m_device = device;
    if (!LoadModel()) {
        LogLine("[SegmentationModel] ONNX model not available - ML effects disabled\n");
        m_ready = false;
        return false;
    }
    if (!device)
        return true;
    if (!CreateTextures()) {
        LogLine("[SegmentationModel] Failed to create staging textures\n");
        return false;
    }
    m_inputBuffer.assign(static_cast<size_t>(m_modelWidth) * m_modelHeight * 3, 0.0f);
    m_ready = true;
    return true;
}

bool SegmentationModel::CreateTextures() {
    struct Wanted {
        gfx::Format format;
        gfx::Usage usage;
        uint32_t bind;
        uint32_t cpu;
        std::shared_ptr<gfx::Texture>* texture;
        const char* failure;
    };
    const Wanted wanted[] = {
        {gfx::Format::kBGRA8, gfx::Usage::kStaging, gfx::kBindNone, gfx::kCpuAccessRead,
         &m_stagingInput, "[SegmentationModel] Failed to create staging input texture\n"},
        {gfx::Format::kR32F, gfx::Usage::kStaging, gfx::kBindNone, gfx::kCpuAccessWrite,
         &m_stagingOutput, "[SegmentationModel] Failed to create staging output texture\n"},
        {gfx::Format::kBGRA8, gfx::Usage::kDefault,
         gfx::kBindRenderTarget | gfx::kBindShaderResource, gfx::kCpuAccessNone, &m_resizedInput,
         "[SegmentationModel] Failed to create resized input texture\n"},
        {gfx::Format::kR32F, gfx::Usage::kDefault, gfx::kBindShaderResource, gfx::kCpuAccessNone,
         &m_outputMask, "[SegmentationModel] Failed to create output mask texture\n"},
    };
    if (Failed(m_device->CompileKernel("ModelLetterbox", &m_letterbox)))
        return false;
    for (const Wanted& texture : wanted) {
        gfx::TextureDesc desc = ModelTexture(m_modelWidth, m_modelHeight, texture.format);
        desc.usage = texture.usage;
        desc.bindFlags = texture.bind;
        desc.cpuAccessFlags = texture.cpu;
        if (m_device->CreateTexture(desc, nullptr, 0, texture.texture) != kOk ||
            !*texture.texture) {
            LogLine("%s", texture.failure);
            return false;
        }
    }
    return true;
}

bool SegmentationModel::Run(gfx::Texture* input, gfx::Texture** mask) {
    if (!m_ready || !input || !mask || !m_session || !m_session->ready)
        return false;
    try {
        if (!ResizeInput(input) || !FillInputBuffer())
            return false;
        const int64_t h = m_modelHeight, w = m_modelWidth;
        const std::array<int64_t, 4> shape =
            m_isNCHW ? std::array<int64_t, 4>{1, 3, h, w} : std::array<int64_t, 4>{1, h, w, 3};
        m_session->session->Run(m_inputBuffer, shape, &m_output);
        return WriteMask(m_output, mask);
    } catch (const std::exception& error) {
        LogLine("[SegmentationModel] Inference error: %s\n", error.what());
        return false;
    }
}

// Frames of another size are letterboxed by a kernel reading the frame in place: on this device
// a staging copy of the whole frame would only add a copy of it.
bool SegmentationModel::ResizeInput(gfx::Texture* input) {
    gfx::DeviceContext& context = m_device->ImmediateContext();
    if (input->Width() == static_cast<uint32_t>(m_modelWidth) &&
        input->Height() == static_cast<uint32_t>(m_modelHeight)) {
        return context.CopyResource(m_resizedInput.get(), input) == kOk;
    }
    gfx::Texture* const inputs[] = {input};
    gfx::Texture* const outputs[] = {m_resizedInput.get()};
    return context.Dispatch(*m_letterbox, {inputs, outputs}) == kOk;
}

bool SegmentationModel::FillInputBuffer() {
    gfx::DeviceContext& context = m_device->ImmediateContext();
    if (context.CopyResource(m_stagingInput.get(), m_resizedInput.get()) != kOk)
        return false;
    gfx::MappedSubresource mapped;
    if (context.Map(m_stagingInput.get(), gfx::MapType::kRead, &mapped) != kOk)
        return false;
    const size_t w = static_cast<size_t>(m_modelWidth), h = static_cast<size_t>(m_modelHeight);
    const size_t plane = w * h;
    constexpr float kScale = 1.0f / 255.0f;
    for (size_t y = 0; y < h; ++y) {
        const uint8_t* pixel = mapped.data + y * mapped.rowPitch;
        for (size_t x = 0; x < w; ++x, pixel += 4) {
            const size_t i = y * w + x;
            const float r = pixel[2] * kScale, g = pixel[1] * kScale, b = pixel[0] * kScale;
            if (m_isNCHW) {
                m_inputBuffer[i] = r;
                m_inputBuffer[plane + i] = g;
                m_inputBuffer[2 * plane + i] = b;
            } else {
                m_inputBuffer[i * 3] = r;
                m_inputBuffer[i * 3 + 1] = g;
                m_inputBuffer[i * 3 + 2] = b;
            }
        }
    }
    context.Unmap(m_stagingInput.get());
    return true;
}

bool SegmentationModel::WriteMask(const std::vector<float>& output, gfx::Texture** mask) {
    const size_t w = static_cast<size_t>(m_modelWidth), n = w * m_modelHeight;
    const std::vector<int64_t>& shape = m_session->outputShape;
    size_t first = 0;
    if (m_isNCHW && shape.size() == 4 && shape[1] >= 2)
        first = n;
    if (first + n > output.size())
        first = 0;
    // A model whose output is smaller than its input would be read past its end.
    if (n > output.size()) {
        LogLine("[SegmentationModel] Inference error: output has %zu values, the mask needs %zu\n",
                output.size(), n);
        return false;
    }
    gfx::DeviceContext& context = m_device->ImmediateContext();
    gfx::MappedSubresource mapped;
    if (context.Map(m_stagingOutput.get(), gfx::MapType::kWrite, &mapped) != kOk)
        return false;
    for (size_t y = 0; y < static_cast<size_t>(m_modelHeight); ++y)
        std::memcpy(mapped.data + y * mapped.rowPitch, output.data() + first + y * w,
                    w * sizeof(float));
    context.Unmap(m_stagingOutput.get());
    if (context.CopyResource(m_outputMask.get(), m_stagingOutput.get()) != kOk)
        return false;
    *mask = m_outputMask.get();
    return true;
}

}  // namespace tamro
