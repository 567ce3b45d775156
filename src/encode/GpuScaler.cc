#include "encode/GpuScaler.h"

#include "diag/Log.h"
#include "diag/PerfLog.h"
#include "diag/RateLimit.h"
#include "encode/Letterbox.h"
#include "shaders/ScaleLetterbox.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

// The processor reads any GPU texture in BGRA; staging copies and other formats it refuses.
bool CanCreateInputView(const gfx::Texture& texture) {
    return texture.Desc().usage == gfx::Usage::kDefault &&
           texture.Desc().format == gfx::Format::kBGRA8;
}

shaders::LetterboxConstants LetterboxRect(uint32_t srcW, uint32_t srcH, uint32_t outW,
                                          uint32_t outH) {
    const LetterboxPlacement p = Letterbox::Fit(srcW, srcH, outW, outH);
    return {p.sourceWidth, p.sourceHeight, p.left, p.top, p.left + p.width, p.top + p.height};
}

}  // namespace

void GpuScaler::Release() {
    m_ready = false;
    m_processor = nullptr;
    m_scaledTexture.reset();
}

bool GpuScaler::Initialize(gfx::Device* device, uint32_t inputWidth, uint32_t inputHeight,
                           uint32_t outputWidth, uint32_t outputHeight) {
    if (m_ready && inputWidth <= m_inputWidth && inputHeight <= m_inputHeight)
        return true;
    Release();
    if (!device) {
        LogLine("[Encoder] GPU Scaler: No D3D device available\n");
        return false;
    }
    m_device = device;
    const int32_t compiled = device->CompileKernel("ScaleLetterbox", &m_processor);
    if (Failed(compiled)) {
        LogLine("[Encoder] GPU Scaler: Failed to create processor: 0x%08X\n",
                static_cast<uint32_t>(compiled));
        return false;
    }
    const gfx::TextureDesc desc{.width = outputWidth,
                                .height = outputHeight,
                                .format = gfx::Format::kBGRA8,
                                .usage = gfx::Usage::kDefault,
                                .bindFlags = gfx::kBindShaderResource | gfx::kBindRenderTarget};
    const int32_t created = device->CreateTexture(desc, nullptr, 0, &m_scaledTexture);
    if (Failed(created)) {
        LogLine("[Encoder] GPU Scaler: Failed to create output texture: 0x%08X\n",
                static_cast<uint32_t>(created));
        Release();
        return false;
    }
    m_outputWidth = outputWidth;
    m_outputHeight = outputHeight;
    m_inputWidth = inputWidth;
    m_inputHeight = inputHeight;
    m_ready = true;
    return true;
}

bool GpuScaler::Scale(gfx::Texture* texture) {
    if (!m_ready || !texture)
        return false;
    if (!CanCreateInputView(*texture)) {
        static FirstOnly inputViewPerfLine;
        if (inputViewPerfLine()) {
            PerfLog::Write(
                "[PERF][Encode] GPU scaler input view FAILED hr=0x%08X bind=0x%X - frames from "
                "this source take the CPU path\n",
                static_cast<uint32_t>(kInvalidArg), texture->Desc().bindFlags);
        }
        LogLine("[Encoder] GPU Scaler: Failed to create input view\n");
        return false;
    }
    const shaders::LetterboxConstants rect =
        LetterboxRect(texture->Width(), texture->Height(), m_outputWidth, m_outputHeight);
    gfx::Texture* const inputs[] = {texture};
    gfx::Texture* const outputs[] = {m_scaledTexture.get()};
    const int32_t blitted = m_device->ImmediateContext().Dispatch(
        *m_processor,
        {.inputs = inputs, .outputs = outputs, .constants = &rect, .constantsSize = sizeof(rect)});
    if (Failed(blitted)) {
        LogLine("[Encoder] GPU Scaler: VideoProcessorBlt failed: 0x%08X\n",
                static_cast<uint32_t>(blitted));
        return false;
    }
    return true;
}

}  // namespace tamro
