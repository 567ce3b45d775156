#include "camera/CameraCompositor.h"

#include "diag/Log.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

// Camera aspects at or below this count as 1.
constexpr float kMinAspect = 0.0001f;

// What a shader-resource view on the camera needs here: a default texture bound as a shader
// resource, in the one format the kernel samples.
bool CanViewCamera(const gfx::Texture& camera) {
    const gfx::TextureDesc& desc = camera.Desc();
    return desc.usage == gfx::Usage::kDefault && (desc.bindFlags & gfx::kBindShaderResource) &&
           desc.format == gfx::Format::kBGRA8;
}

}  // namespace

CameraCompositor::~CameraCompositor() {
    Shutdown();
}

// The pipeline is the one kernel: its vertex and pixel stages are a single function, so the
// pixel stage's compile stands for both. Sampler, blend and rasterizer states do not exist on
// this device (the kernel samples, blends and covers pixels as those states say), and the
// constants travel with each dispatch, so there is no constant buffer to create or map.
bool CameraCompositor::Initialize(gfx::Device* device, uint32_t width, uint32_t height) {
    if (!device || width == 0 || height == 0) {
        LogLine("[CameraCompositor] Initialize failed: invalid parameters\n");
        return false;
    }
    Shutdown();
    m_device = device;
    m_context = &device->ImmediateContext();
    if (Failed(device->CompileKernel("CameraComposite", &m_kernel))) {
        LogLine("[CameraCompositor] PS compile failed\n");
        Shutdown();
        return false;
    }
    if (!CreateOutput(width, height)) {
        Shutdown();
        return false;
    }
    m_initialized = true;
    return true;
}

bool CameraCompositor::CreateOutput(uint32_t width, uint32_t height) {
    const gfx::TextureDesc desc{.width = width,
                                .height = height,
                                .format = gfx::Format::kBGRA8,
                                .usage = gfx::Usage::kDefault,
                                .bindFlags = gfx::kBindShaderResource | gfx::kBindRenderTarget};
    if (Failed(m_device->CreateTexture(desc, nullptr, 0, &m_output))) {
        LogLine("[CameraCompositor] CreateTexture2D (output) failed\n");
        m_output.reset();
        return false;
    }
    m_width = width;
    m_height = height;
    return true;
}

void CameraCompositor::Shutdown() {
    m_initialized = false;
    m_width = 0;
    m_height = 0;
    m_cameraViewed = false;
    m_lastCamera = nullptr;
    m_output.reset();
    m_constants = {};
    m_kernel = nullptr;
    m_context = nullptr;
    m_device = nullptr;
}

// The view is rebuilt only for a camera texture not seen last time: the caller passes the same
// one every frame.
bool CameraCompositor::ViewCamera(gfx::Texture* camera) {
    if (camera == m_lastCamera && m_cameraViewed)
        return true;
    m_cameraViewed = false;
    m_lastCamera = camera;
    if (!CanViewCamera(*camera)) {
        LogLine("[CameraCompositor] CreateShaderResourceView (camera) failed\n");
        return false;
    }
    m_cameraViewed = true;
    return true;
}

void CameraCompositor::FillConstants(const CameraOverlayParams& params) {
    const float aspect = params.cameraAspect > kMinAspect ? params.cameraAspect : 1.0f;
    m_constants = {
        .rect = {params.rectX, params.rectY, params.rectWidth, params.rectHeight},
        .shape = {params.cornerRadius, params.mirror ? 1.0f : 0.0f,
                  params.fillMode == 1 ? 1.0f : 0.0f, params.opacity},
        .borderColor = {params.borderColor[0], params.borderColor[1], params.borderColor[2],
                        params.borderColor[3]},
        .borderMisc = {params.borderWidth, aspect, params.borderDashed ? 1.0f : 0.0f, 0.0f},
    };
}

bool CameraCompositor::Composite(gfx::Texture* screen, gfx::Texture* camera,
                                 const CameraOverlayParams& params, gfx::Texture** out) {
    if (!m_initialized || !screen || !camera)
        return false;
    if (!m_output || screen->Width() != m_width || screen->Height() != m_height) {
        if (!CreateOutput(screen->Width(), screen->Height()))
            return false;
    }
    // The platform's copy reports nothing; this device refuses a screen in another format than
    // the output's, which would leave a stale picture: no frame then, rather than a wrong one.
    if (Failed(m_context->CopyResource(m_output.get(), screen)))
        return false;
    // A new picture whose identity nobody knows: consumers must not take it for an earlier one.
    m_output->SetContentId(0);
    if (ViewCamera(camera)) {
        FillConstants(params);
        gfx::Texture* const inputs[] = {camera};
        gfx::Texture* const outputs[] = {m_output.get()};
        // A draw reports nothing either; the kernel checks its arguments before it writes, so a
        // refusal leaves the plain screen copy.
        m_context->Dispatch(*m_kernel, {.inputs = inputs,
                                        .outputs = outputs,
                                        .constants = &m_constants,
                                        .constantsSize = sizeof(m_constants)});
    }
    if (out)
        *out = m_output.get();
    return true;
}

}  // namespace tamro
