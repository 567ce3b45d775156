#include "camera/BubblePresenter.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "diag/Log.h"
#include "tamro/ResultCode.h"

namespace tamro {
namespace {

// Part of the log's wording, byte for byte: an em dash as it reads when its UTF-8 bytes are taken
// for single-byte characters. Tools that watch the log match it so.
#define TAMRO_BUBBLE_DASH "\xC3\xA2\xE2\x82\xAC\xE2\x80\x9D"

float ByteOf(uint32_t argb, int shift) {
    return static_cast<float>((argb >> shift) & 0xFF) / 255.0f;
}

}  // namespace

BubblePresenter::BubblePresenter(uint64_t window, uint32_t width, uint32_t height,
                                 platform::window::BubbleSurfaceFactory surfaces)
    : m_window(window),
      m_surfaces(surfaces ? std::move(surfaces) : &platform::window::CreateX11BubbleSurface),
      m_width(width),
      m_height(height) {}

BubblePresenter::~BubblePresenter() {
    Shutdown();
}

void BubblePresenter::SetAppearance(const Appearance& appearance) {
    std::lock_guard lock(m_mutex);
    m_appearance = appearance;
}

void BubblePresenter::SetSize(uint32_t width, uint32_t height) {
    std::lock_guard lock(m_mutex);
    m_requestedWidth = width;
    m_requestedHeight = height;
    m_resizePending = true;
}

shaders::CameraCompositeConstants BubblePresenter::Constants(const Appearance& appearance,
                                                             uint32_t width, uint32_t height,
                                                             uint32_t frameWidth,
                                                             uint32_t frameHeight) {
    const float half = static_cast<float>(std::min(width, height)) * 0.5f;
    float aspect = appearance.cameraAspect;
    if (aspect <= 0.0f)
        aspect = frameHeight > 0 ? static_cast<float>(frameWidth) / frameHeight : 0.0f;
    const uint32_t argb = appearance.borderColor;
    return {
        .rect = {0.0f, 0.0f, 1.0f, 1.0f},
        .shape = {std::clamp(appearance.cornerRadius, 0.0f, 1.0f), appearance.mirror ? 1.0f : 0.0f,
                  appearance.cover ? 1.0f : 0.0f, 1.0f},
        .borderColor = {ByteOf(argb, 16), ByteOf(argb, 8), ByteOf(argb, 0), ByteOf(argb, 24)},
        .borderMisc = {half > 0.0f ? appearance.borderWidthPx / half : 0.0f, aspect, 0.0f, 0.0f},
    };
}

// The surface's own steps (connection, window, shared memory, shape) stand for the swap chain and
// composition steps; the kernel's look-up is the shader step.
bool BubblePresenter::EnsureInitialized(gfx::Device* device, gfx::Texture* frame) {
    if (m_initialized)
        return true;
    if (m_initFailed || m_window == 0 || !frame)
        return false;
    if (!device)
        return InitFailed("Device");
    m_device = device;
    m_surface = m_surfaces(m_window);
    if (!m_surface)
        return InitFailed("CreateSurface");
    std::string step;
    if (!m_surface->Open(device, m_width, m_height, &step))
        return InitFailed(step.empty() ? "Open" : step);
    if (Failed(device->CompileKernel("CameraComposite", &m_kernel)) || !m_kernel) {
        LogLine("[BubblePresenter] PS compile failed\n");
        return InitFailed("CreateShaders");
    }
    m_initialized = true;
    return true;
}

bool BubblePresenter::InitFailed(const std::string& step) {
    LogLine("[BubblePresenter] init failed at %s " TAMRO_BUBBLE_DASH
            " falling back to layered path\n",
            step.c_str());
    Shutdown();
    m_initFailed = true;
    return false;
}

bool BubblePresenter::ApplyResize() {
    uint32_t width = 0, height = 0;
    {
        std::lock_guard lock(m_mutex);
        if (!std::exchange(m_resizePending, false))
            return true;
        width = m_requestedWidth;
        height = m_requestedHeight;
    }
    if (width == m_width && height == m_height)
        return true;
    if (const int32_t result = m_surface->Resize(width, height); Failed(result)) {
        LogLine("[BubblePresenter] ResizeBuffers failed 0x%08X\n", static_cast<uint32_t>(result));
        return false;
    }
    m_width = width;
    m_height = height;
    m_presented = false;  // a window cut to the shape is cut anew
    return true;
}

// The kernel blends over the cleared target, which leaves colour x alpha and alpha: premultiplied,
// and fully transparent outside the shape. It samples the frame in place: the owner's camera lock
// keeps the frame still for the whole draw, so the private copy a GPU needs is not made.
bool BubblePresenter::Draw(gfx::Texture* frame,
                           const shaders::CameraCompositeConstants& constants) {
    gfx::Texture* target = m_surface->BackBuffer();
    if (!target)
        return false;
    gfx::DeviceContext& context = m_device->ImmediateContext();
    const float transparent[4] = {0, 0, 0, 0};
    if (Failed(context.ClearRenderTarget(target, transparent)))
        return false;
    gfx::Texture* const inputs[] = {frame};
    gfx::Texture* const outputs[] = {target};
    return Succeeded(context.Dispatch(*m_kernel, {.inputs = inputs,
                                                  .outputs = outputs,
                                                  .constants = &constants,
                                                  .constantsSize = sizeof(constants)}));
}

bool BubblePresenter::Present(gfx::Device* device, gfx::Texture* frame) {
    if (!frame || m_initFailed)
        return false;
    try {
        if (!EnsureInitialized(device, frame) || !ApplyResize())
            return false;
        if (frame->Width() == 0 || frame->Height() == 0 ||
            frame->Desc().format != gfx::Format::kBGRA8)
            return false;
        Appearance appearance;
        {
            std::lock_guard lock(m_mutex);
            appearance = m_appearance;
        }
        const shaders::CameraCompositeConstants constants =
            Constants(appearance, m_width, m_height, frame->Width(), frame->Height());
        if (!Draw(frame, constants))
            return false;
        const bool shapeChanged =
            !m_presented || std::memcmp(&constants, &m_lastConstants, sizeof constants) != 0;
        if (const int32_t result = m_surface->Present(shapeChanged); Failed(result)) {
            LogLine("[BubblePresenter] Present failed 0x%08X\n", static_cast<uint32_t>(result));
            m_initFailed = true;
            return false;
        }
        m_lastConstants = constants;
        m_presented = true;
        return true;
    } catch (...) {
        LogLine("[BubblePresenter] Present threw " TAMRO_BUBBLE_DASH
                " falling back to layered path\n");
        m_initFailed = true;
        return false;
    }
}

void BubblePresenter::Shutdown() {
    m_initialized = false;
    m_presented = false;
    m_kernel = nullptr;
    m_surface.reset();
    m_device = nullptr;
}

}  // namespace tamro
