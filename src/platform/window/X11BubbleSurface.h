#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/display/X11Connection.h"
#include "platform/window/BubbleSurface.h"
#include "platform/window/ShmImage.h"

namespace tamro::platform::window {

// The bubble drawn into an application's X11 window over a connection of its own: the back buffer
// is a shared-memory image put into the window whole. Where the window cannot show alpha it is cut
// (X Shape, bounding region) to the back buffer's opaque pixels. Whether a compositing manager
// runs is looked at again every so many presents, and the window cut or made whole to match.
// X errors are trapped: a destroyed window or a lost display fails Present, for good.
// Threading: one thread at a time, as the interface.
class X11BubbleSurface final : public BubbleSurface {
  public:
    // `displayName` empty means $DISPLAY.
    X11BubbleSurface(std::string displayName, uint64_t window);
    ~X11BubbleSurface() override;

    X11BubbleSurface(const X11BubbleSurface&) = delete;
    X11BubbleSurface& operator=(const X11BubbleSurface&) = delete;

    bool Open(gfx::Device* device, uint32_t width, uint32_t height,
              std::string* failedStep) override;
    int32_t Resize(uint32_t width, uint32_t height) override;
    gfx::Texture* BackBuffer() override;
    int32_t Present(bool shapeChanged) override;
    bool ShowsAlpha() const override;

    // Presents between two looks at the compositing manager.
    static constexpr uint32_t kCompositorCheckInterval = 30;

  private:
    struct GcRelease {
        ::Display* display;
        void operator()(GC gc) const { XFreeGC(display, gc); }
    };
    using GcHandle = std::unique_ptr<std::remove_pointer_t<GC>, GcRelease>;
    // How the window's bounding shape was last set.
    enum class Cut : uint8_t { kUnknown, kWhole, kShaped };

    // The name of the step that failed, null when all succeeded.
    const char* OpenSteps(gfx::Device* device, uint32_t width, uint32_t height);
    bool ReadWindow();
    bool CreateGc();
    void Close();
    bool CompositorRuns();
    bool HasShapeExtension();
    void UpdateShape(bool shapeChanged);
    void CutToOpaquePixels();
    int32_t FailForGood(int error);

    const std::string m_displayName;
    const ::Window m_window;
    gfx::Device* m_device = nullptr;
    std::unique_ptr<X11Connection> m_connection;
    Visual* m_visual = nullptr;
    int m_depth = 0;
    Atom m_compositorSelection = 0;
    std::unique_ptr<ShmImage> m_image;
    GcHandle m_gc{nullptr, GcRelease{nullptr}};
    bool m_compositor = false;
    std::optional<bool> m_hasShape;
    Cut m_cut = Cut::kUnknown;
    uint32_t m_presents = 0;
    bool m_failed = false;
};

}  // namespace tamro::platform::window
