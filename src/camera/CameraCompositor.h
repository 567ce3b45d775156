#pragma once

#include <cstdint>
#include <memory>

#include "camera/CameraOverlayParams.h"
#include "platform/gfx/Device.h"
#include "shaders/CameraComposite.h"

namespace tamro {

// Draws the camera picture as a shaped bubble over screen frames, on the screen's device: each
// call copies the screen frame into the compositor's own output texture and runs the bubble
// kernel over it, so the encoder gets the composited texture in place of the screen frame.
// Threading: not thread-safe; the recorder calls it from its video-frame path, one frame at a
// time. It runs work on the device's immediate context, whose own lock orders it with other users.
class CameraCompositor {
  public:
    CameraCompositor() = default;
    ~CameraCompositor();
    CameraCompositor(const CameraCompositor&) = delete;
    CameraCompositor& operator=(const CameraCompositor&) = delete;

    // `device` must outlive the compositor (or its Shutdown); the output is width x height.
    bool Initialize(gfx::Device* device, uint32_t width, uint32_t height);
    // `out` (may be null) receives the output texture, owned by the compositor and valid until
    // the next call. Both textures must be on the compositor's device.
    bool Composite(gfx::Texture* screen, gfx::Texture* camera, const CameraOverlayParams& params,
                   gfx::Texture** out);
    void Shutdown();

  private:
    bool CreateOutput(uint32_t width, uint32_t height);
    bool ViewCamera(gfx::Texture* camera);
    void FillConstants(const CameraOverlayParams& params);

    gfx::Device* m_device = nullptr;
    gfx::DeviceContext* m_context = nullptr;
    const gfx::Kernel* m_kernel = nullptr;
    shaders::CameraCompositeConstants m_constants;
    std::shared_ptr<gfx::Texture> m_output;
    // The camera texture seen last, for its identity only: never dereferenced.
    const gfx::Texture* m_lastCamera = nullptr;
    bool m_cameraViewed = false;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    bool m_initialized = false;
};

}  // namespace tamro
