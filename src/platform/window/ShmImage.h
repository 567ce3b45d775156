#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <cstdint>
#include <memory>

#include "platform/gfx/Device.h"
#include "platform/gfx/Texture.h"

namespace tamro::platform {
class X11Connection;
}

namespace tamro::platform::window {

// A ZPixmap image in a shared-memory segment the server reads from, its pixels wrapped as a BGRA8
// texture (BGRX on a 24-bit visual: the server ignores the fourth byte).
// Threading: one thread at a time, that of the connection's user.
class ShmImage {
  public:
    // Null when the visual's pixels are not 32-bit BGRA in memory, or the segment cannot be made
    // or attached (a display on another machine).
    static std::unique_ptr<ShmImage> Create(X11Connection& connection, Visual* visual, int depth,
                                            gfx::Device& device, uint32_t width, uint32_t height);

    struct Key {
      private:
        Key() = default;
        friend class ShmImage;
    };
    ShmImage(Key, X11Connection& connection, XImage* image);
    ~ShmImage();

    ShmImage(const ShmImage&) = delete;
    ShmImage& operator=(const ShmImage&) = delete;

    XImage* Image() const { return m_image; }
    gfx::Texture* Texture() const { return m_texture.get(); }

  private:
    bool Attach(gfx::Device& device);

    X11Connection& m_connection;
    XImage* m_image;
    XShmSegmentInfo m_info{};
    bool m_attached = false;
    std::shared_ptr<gfx::Texture> m_texture;
};

}  // namespace tamro::platform::window
