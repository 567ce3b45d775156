#include "encode/ColorConverter.h"

#include <cstring>

#include "diag/Log.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

gfx::TextureDesc ImageDesc(uint32_t width, uint32_t height) {
    return gfx::TextureDesc{.width = width,
                            .height = height + height / 2,
                            .format = gfx::Format::kR8,
                            .usage = gfx::Usage::kStaging,
                            .cpuAccessFlags = gfx::kCpuAccessRead | gfx::kCpuAccessWrite};
}

// A shader-resource view reads the texture in its own format: a GPU texture bound for reading.
bool CanViewAsShaderResource(const gfx::Texture& texture) {
    const gfx::TextureDesc& desc = texture.Desc();
    return desc.usage == gfx::Usage::kDefault && (desc.bindFlags & gfx::kBindShaderResource);
}

}  // namespace

bool ColorConverter::Initialize(gfx::Device* device, uint32_t width, uint32_t height) {
    if (!device || width == 0 || height == 0) {
        LogLine("[ColorConverter] Initialize failed: invalid parameters\n");
        return false;
    }
    if (width % 2 != 0 || height % 2 != 0) {
        LogLine("[ColorConverter] Initialize failed: dimensions must be even for NV12\n");
        return false;
    }
    m_device = device;
    m_context = &device->ImmediateContext();
    m_width = width;
    m_height = height;
    if (!CreateShaders()) {
        LogLine("[ColorConverter] Failed to create shaders\n");
        return false;
    }
    // The images come first: the plane textures are views of them.
    if (!CreateStagingTextures()) {
        LogLine("[ColorConverter] Failed to create staging texture\n");
        return false;
    }
    for (size_t i = 0; i < m_nv12Staging.size(); ++i) {
        m_placement[i] = {};
        if (!Place(i, PlacementFor(m_width, m_height))) {
            LogLine("[ColorConverter] Failed to create textures\n");
            return false;
        }
    }
    m_writeIndex = 0;
    m_initialized = true;
    return true;
}

bool ColorConverter::CreateShaders() {
    const int32_t result = m_device->CompileKernel("BgraToNv12", &m_computeShader);
    if (Failed(result)) {
        LogLine("[ColorConverter] Shader compilation error:\n");
        LogLine("no kernel named 'BgraToNv12' (0x%08X)\n", static_cast<uint32_t>(result));
        return false;
    }
    return true;
}

bool ColorConverter::CreateStagingTextures() {
    for (auto& image : m_nv12Staging) {
        const int32_t result =
            m_device->CreateTexture(ImageDesc(m_width, m_height), nullptr, 0, &image);
        if (Failed(result)) {
            LogLine("[ColorConverter] Failed to create staging texture: 0x%08X\n",
                    static_cast<uint32_t>(result));
            return false;
        }
    }
    return true;
}

bool ColorConverter::CreatePlaneView(const std::shared_ptr<gfx::Texture>& image, uint32_t firstRow,
                                     uint32_t firstByte, uint32_t width, uint32_t height,
                                     gfx::Format format, std::shared_ptr<gfx::Texture>* view,
                                     const char* failureLine) {
    const gfx::TextureDesc desc{.width = width,
                                .height = height,
                                .format = format,
                                .bindFlags = gfx::kBindUnorderedAccess | gfx::kBindShaderResource};
    // The view holds the image until the view's own storage goes.
    const int32_t result = m_device->WrapTexture(
        desc, image->Row(firstRow) + firstByte, image->RowPitch(), [image] {}, view);
    if (Failed(result)) {
        LogLine(failureLine, static_cast<uint32_t>(result));
        return false;
    }
    return true;
}

ColorConverter::Placement ColorConverter::PlacementFor(uint32_t width, uint32_t height) const {
    // Offsets stay even so that each 2x2 chroma block of the frame is one block of the image.
    return Placement{.left = ((m_width - width) / 2) & ~1u,
                     .top = ((m_height - height) / 2) & ~1u,
                     .width = width,
                     .height = height};
}

bool ColorConverter::Accepts(uint32_t width, uint32_t height) const {
    if (width == 0 || height == 0 || width % 2 != 0 || height % 2 != 0)
        return false;
    // Bars of a pixel a side or less are left to the scaler, which stretches over them.
    if (width == m_width && height == m_height)
        return true;
    return (width == m_width && height + 2 < m_height) ||
           (height == m_height && width + 2 < m_width);
}

void ColorConverter::FillBlack(gfx::Texture* image) {
    gfx::MappedSubresource mapped;
    if (Failed(m_context->Map(image, gfx::MapType::kWrite, &mapped)))
        return;
    for (uint32_t row = 0; row < image->Height(); ++row) {
        // Luma black is 16; the chroma rows below the luma plane are neutral at 128.
        std::memset(mapped.data + static_cast<size_t>(row) * mapped.rowPitch,
                    row < m_height ? 16 : 128, m_width);
    }
    m_context->Unmap(image);
}

bool ColorConverter::Place(size_t index, const Placement& placement) {
    if (m_yTexture[index] && m_placement[index] == placement)
        return true;
    const std::shared_ptr<gfx::Texture>& image = m_nv12Staging[index];
    // Bars around a smaller frame must be black, and a larger frame's old pixels must not show.
    FillBlack(image.get());
    m_yTexture[index].reset();
    m_uvTexture[index].reset();
    if (!CreatePlaneView(image, placement.top, placement.left, placement.width, placement.height,
                         gfx::Format::kR8, &m_yTexture[index],
                         "[ColorConverter] Failed to create Y plane texture: 0x%08X\n") ||
        !CreatePlaneView(image, m_height + placement.top / 2, placement.left, placement.width / 2,
                         placement.height / 2, gfx::Format::kR8G8, &m_uvTexture[index],
                         "[ColorConverter] Failed to create UV plane texture: 0x%08X\n")) {
        m_yTexture[index].reset();
        return false;
    }
    m_placement[index] = placement;
    return true;
}

bool ColorConverter::Convert(gfx::Texture* input, gfx::Texture** nv12Out) {
    if (!m_initialized || !input || !nv12Out)
        return false;
    if (!Accepts(input->Width(), input->Height())) {
        LogLine("[ColorConverter] Input dimensions mismatch: expected %ux%u, got %ux%u\n", m_width,
                m_height, input->Width(), input->Height());
        return false;
    }
    if (!CanViewAsShaderResource(*input)) {
        LogLine("[ColorConverter] Failed to create input SRV: 0x%08X\n",
                static_cast<uint32_t>(kInvalidArg));
        return false;
    }
    if (!Place(m_writeIndex, PlacementFor(input->Width(), input->Height())))
        return false;
    gfx::Texture* const inputs[] = {input};
    gfx::Texture* const outputs[] = {m_yTexture[m_writeIndex].get(),
                                     m_uvTexture[m_writeIndex].get()};
    if (Failed(m_context->Dispatch(*m_computeShader, {.inputs = inputs, .outputs = outputs})))
        return false;
    // This platform's device has finished the dispatch when it returns, so the image just written
    // is delivered: a picture one frame old would put the video a frame behind its timestamps.
    *nv12Out = m_nv12Staging[m_writeIndex].get();
    m_writeIndex = 1 - m_writeIndex;
    return true;
}

}  // namespace tamro
