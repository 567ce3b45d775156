#include "camera/PreviewReadback.h"

#include <cstring>

#include "diag/Log.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

gfx::TextureDesc StagingDesc(uint32_t width, uint32_t height, gfx::Format format) {
    return {.width = width,
            .height = height,
            .format = format,
            .usage = gfx::Usage::kStaging,
            .bindFlags = gfx::kBindNone,
            .cpuAccessFlags = gfx::kCpuAccessRead};
}

}  // namespace

bool PreviewReadback::Create(gfx::Device* device, uint32_t width, uint32_t height) {
    m_staging.reset();
    const int32_t result =
        device ? device->CreateTexture(StagingDesc(width, height, gfx::Format::kBGRA8), nullptr, 0,
                                       &m_staging)
               : kPointer;
    if (Failed(result)) {
        LogLine("[NativeRecorder] Failed to create preview staging texture: 0x%08X\n",
                static_cast<uint32_t>(result));
        m_staging.reset();
        return false;
    }
    return true;
}

void PreviewReadback::Release() {
    m_staging.reset();
}

std::shared_ptr<BgraBitmap> PreviewReadback::Convert(gfx::Device* device, gfx::Texture* frame) {
    if (!frame || !m_staging || !device)
        return nullptr;
    const gfx::TextureDesc& desc = frame->Desc();
    if (desc.width != m_staging->Width() || desc.height != m_staging->Height() ||
        desc.format != m_staging->Desc().format) {
        m_staging.reset();
        if (Failed(device->CreateTexture(StagingDesc(desc.width, desc.height, desc.format), nullptr,
                                         0, &m_staging))) {
            m_staging.reset();
            return nullptr;
        }
    }
    gfx::DeviceContext& context = device->ImmediateContext();
    gfx::MappedSubresource mapped;
    int32_t result = context.CopyResource(m_staging.get(), frame);
    if (Succeeded(result))
        result = context.Map(m_staging.get(), gfx::MapType::kRead, &mapped);
    if (Failed(result)) {
        if (++m_mapFailures % 30 == 1) {
            LogLine("[NativeRecorder] Map staging texture failed: 0x%08X\n",
                    static_cast<uint32_t>(result));
        }
        return nullptr;
    }
    auto bitmap = std::make_shared<BgraBitmap>(desc.width, desc.height);
    for (uint32_t y = 0; y < desc.height; ++y)
        std::memcpy(bitmap->Row(y), mapped.data + size_t{y} * mapped.rowPitch, bitmap->Stride());
    context.Unmap(m_staging.get());
    return bitmap;
}

}  // namespace tamro
