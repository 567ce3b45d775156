#include "encode/ColorConverter.h"

#include <cstring>

#include "diag/Log.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

gfx::TextureDesc PlaneDesc(uint32_t width, uint32_t height, gfx::Format format) {
    return gfx::TextureDesc{.width = width,
                            .height = height,
                            .format = format,
                            .usage = gfx::Usage::kDefault,
                            .bindFlags = gfx::kBindUnorderedAccess | gfx::kBindShaderResource};
}

gfx::TextureDesc StagingDesc(uint32_t width, uint32_t height, gfx::Format format,
                             uint32_t cpuAccess) {
    return gfx::TextureDesc{.width = width,
                            .height = height,
                            .format = format,
                            .usage = gfx::Usage::kStaging,
                            .cpuAccessFlags = cpuAccess};
}

void CopyRows(uint8_t* destination, uint32_t destinationPitch, const uint8_t* source,
              uint32_t sourcePitch, uint32_t rowBytes, uint32_t rows) {
    for (uint32_t y = 0; y < rows; ++y) {
        std::memcpy(destination + static_cast<size_t>(y) * destinationPitch,
                    source + static_cast<size_t>(y) * sourcePitch, rowBytes);
    }
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
    if (!CreateTextures()) {
        LogLine("[ColorConverter] Failed to create textures\n");
        return false;
    }
    if (!CreateStagingTextures()) {
        LogLine("[ColorConverter] Failed to create staging texture\n");
        return false;
    }
    m_writeIndex = 0;
    m_primed = false;
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

bool ColorConverter::CreateTexture(const gfx::TextureDesc& desc,
                                   std::shared_ptr<gfx::Texture>* texture, const char* failureLine,
                                   int index) {
    const int32_t result = m_device->CreateTexture(desc, nullptr, 0, texture);
    if (Succeeded(result))
        return true;
    if (index >= 0)
        LogLine(failureLine, index, static_cast<uint32_t>(result));
    else
        LogLine(failureLine, static_cast<uint32_t>(result));
    return false;
}

bool ColorConverter::CreateTextures() {
    return CreateTexture(PlaneDesc(m_width, m_height, gfx::Format::kR8), &m_yTexture,
                         "[ColorConverter] Failed to create Y plane texture: 0x%08X\n") &&
           CreateTexture(PlaneDesc(m_width / 2, m_height / 2, gfx::Format::kR8G8), &m_uvTexture,
                         "[ColorConverter] Failed to create UV plane texture: 0x%08X\n");
}

bool ColorConverter::CreateStagingTextures() {
    if (!CreateTexture(StagingDesc(m_width, m_height + m_height / 2, gfx::Format::kR8,
                                   gfx::kCpuAccessRead | gfx::kCpuAccessWrite),
                       &m_nv12Staging,
                       "[ColorConverter] Failed to create staging texture: 0x%08X\n")) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        if (!CreateTexture(StagingDesc(m_width, m_height, gfx::Format::kR8, gfx::kCpuAccessRead),
                           &m_yStaging[i],
                           "[ColorConverter] Failed to create Y staging texture %d: 0x%08X\n", i) ||
            !CreateTexture(
                StagingDesc(m_width / 2, m_height / 2, gfx::Format::kR8G8, gfx::kCpuAccessRead),
                &m_uvStaging[i],
                "[ColorConverter] Failed to create UV staging texture: 0x%08X\n")) {
            return false;
        }
    }
    return true;
}

bool ColorConverter::Convert(gfx::Texture* input, gfx::Texture** nv12Out) {
    if (!m_initialized || !input || !nv12Out)
        return false;
    if (input->Width() != m_width || input->Height() != m_height) {
        LogLine("[ColorConverter] Input dimensions mismatch: expected %ux%u, got %ux%u\n", m_width,
                m_height, input->Width(), input->Height());
        return false;
    }
    if (!CanViewAsShaderResource(*input)) {
        LogLine("[ColorConverter] Failed to create input SRV: 0x%08X\n",
                static_cast<uint32_t>(kInvalidArg));
        return false;
    }
    gfx::Texture* const inputs[] = {input};
    gfx::Texture* const outputs[] = {m_yTexture.get(), m_uvTexture.get()};
    if (Failed(m_context->Dispatch(*m_computeShader, {.inputs = inputs, .outputs = outputs})))
        return false;
    m_context->CopyResource(m_yStaging[m_writeIndex].get(), m_yTexture.get());
    m_context->CopyResource(m_uvStaging[m_writeIndex].get(), m_uvTexture.get());

    const uint32_t readIndex = m_primed ? 1 - m_writeIndex : m_writeIndex;
    m_writeIndex = 1 - m_writeIndex;
    m_primed = true;
    gfx::MappedSubresource image;
    if (Failed(m_context->Map(m_nv12Staging.get(), gfx::MapType::kWrite, &image)))
        return false;
    AssembleImage(readIndex, image);
    m_context->Unmap(m_nv12Staging.get());
    *nv12Out = m_nv12Staging.get();
    return true;
}

// A plane whose staging texture does not map is left as it was.
void ColorConverter::AssembleImage(uint32_t readIndex, const gfx::MappedSubresource& image) {
    gfx::MappedSubresource plane;
    if (Succeeded(m_context->Map(m_yStaging[readIndex].get(), gfx::MapType::kRead, &plane))) {
        CopyRows(image.data, image.rowPitch, plane.data, plane.rowPitch, m_width, m_height);
        m_context->Unmap(m_yStaging[readIndex].get());
    }
    if (Succeeded(m_context->Map(m_uvStaging[readIndex].get(), gfx::MapType::kRead, &plane))) {
        CopyRows(image.data + static_cast<size_t>(m_height) * image.rowPitch, image.rowPitch,
                 plane.data, plane.rowPitch, m_width, m_height / 2);
        m_context->Unmap(m_uvStaging[readIndex].get());
    }
}

}  // namespace tamro
