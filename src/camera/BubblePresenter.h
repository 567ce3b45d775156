#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/gfx/Device.h"
#include "platform/window/BubbleSurface.h"
#include "shaders/CameraComposite.h"

namespace tamro {

// Draws camera preview frames as the bubble (a rounded square up to a circle, an optional solid
// border, mirror, cover or contain fit) straight into the application's bubble window, with
// premultiplied alpha so that its corners show what is behind the window.
//
// The picture is the compositor's bubble kernel over a transparent target filling the window:
// blended over zero, its output is the premultiplied colour, and it draws no dashes here.
//
// Threading: Present and Shutdown on the preview's frame thread (its owner holds the camera lock
// around them); SetAppearance and SetSize from any thread, under the presenter's own lock, which
// Present takes only to copy them.
class BubblePresenter {
  public:
    struct Appearance {
        // A fraction of the half-extent: 1 is a circle in a square window.
        float cornerRadius = 1.0f;
        float borderWidthPx = 0.0f;
        uint32_t borderColor = 0;  // 0xAARRGGBB
        bool mirror = false;
        bool cover = true;  // contain when false
        // Camera width / height; 0 or less: the presented frame's.
        float cameraAspect = 0.0f;

        bool operator==(const Appearance&) const = default;
    };

    // `surfaces` makes the window's drawing surface; empty: the platform's.
    BubblePresenter(uint64_t window, uint32_t width, uint32_t height,
                    platform::window::BubbleSurfaceFactory surfaces = {});
    ~BubblePresenter();
    BubblePresenter(const BubblePresenter&) = delete;
    BubblePresenter& operator=(const BubblePresenter&) = delete;

    void SetAppearance(const Appearance& appearance);
    // Takes effect at the next Present; the caller ignores sizes of 0.
    void SetSize(uint32_t width, uint32_t height);

    // Draws `frame` (BGRA8, on `device`) into the window. False when nothing was shown; after a
    // failure of the window or its set-up every later call is false at once.
    bool Present(gfx::Device* device, gfx::Texture* frame);
    void Shutdown();

    bool HasFailed() const { return m_initFailed; }
    uint32_t Width() const { return m_width; }
    uint32_t Height() const { return m_height; }

    // The kernel's constants for a `frameWidth` x `frameHeight` frame into a target of
    // `width` x `height`.
    static shaders::CameraCompositeConstants Constants(const Appearance& appearance, uint32_t width,
                                                       uint32_t height, uint32_t frameWidth,
                                                       uint32_t frameHeight);

  private:
    bool EnsureInitialized(gfx::Device* device, gfx::Texture* frame);
    bool InitFailed(const std::string& step);
    bool ApplyResize();
    bool Draw(gfx::Texture* frame, const shaders::CameraCompositeConstants& constants);

    const uint64_t m_window;
    const platform::window::BubbleSurfaceFactory m_surfaces;
    uint32_t m_width;
    uint32_t m_height;

    std::mutex m_mutex;
    Appearance m_appearance;         // under m_mutex
    uint32_t m_requestedWidth = 0;   // under m_mutex
    uint32_t m_requestedHeight = 0;  // under m_mutex
    bool m_resizePending = false;    // under m_mutex

    gfx::Device* m_device = nullptr;
    std::unique_ptr<platform::window::BubbleSurface> m_surface;
    const gfx::Kernel* m_kernel = nullptr;
    bool m_initialized = false;
    bool m_initFailed = false;
    // What the last present drew, so that a window cut to the shape is cut anew only on a change.
    shaders::CameraCompositeConstants m_lastConstants{};
    bool m_presented = false;
};

}  // namespace tamro
