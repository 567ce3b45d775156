#include "platform/window/X11BubbleSurface.h"

#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/shape.h>

#include <utility>
#include <vector>

#include "diag/Log.h"
#include "platform/window/OpaqueBands.h"
#include "tamro/ResultCode.h"

namespace tamro::platform::window {

X11BubbleSurface::X11BubbleSurface(std::string displayName, uint64_t window)
    : m_displayName(std::move(displayName)), m_window(static_cast<::Window>(window)) {}

X11BubbleSurface::~X11BubbleSurface() {
    Close();
}

bool X11BubbleSurface::Open(gfx::Device* device, uint32_t width, uint32_t height,
                            std::string* failedStep) {
    Close();
    const char* failed = OpenSteps(device, width, height);
    if (failed == nullptr)
        return true;
    LogLine("[X11BubbleSurface] %s failed for window 0x%lx\n", failed, m_window);
    if (failedStep)
        *failedStep = failed;
    Close();
    return false;
}

const char* X11BubbleSurface::OpenSteps(gfx::Device* device, uint32_t width, uint32_t height) {
    m_connection = X11Connection::Open(m_displayName);
    if (!m_connection)
        return "XOpenDisplay";
    if (!ReadWindow())
        return "XGetWindowAttributes";
    if (!XShmQueryExtension(m_connection->get()))
        return "XShmQueryExtension";
    if (device && width > 0 && height > 0)
        m_image = ShmImage::Create(*m_connection, m_visual, m_depth, *device, width, height);
    if (!m_image)
        return "XShmCreateImage";
    m_device = device;
    if (!CreateGc())
        return "XCreateGC";
    m_compositor = m_depth == 32 && CompositorRuns();
    if (!ShowsAlpha() && !HasShapeExtension())
        return "XShapeQueryExtension";
    return nullptr;
}

// The window exists; its visual and depth make the image, its screen names the compositor.
bool X11BubbleSurface::ReadWindow() {
    XWindowAttributes attributes{};
    Status got = 0;
    const int error = m_connection->Trapped(
        [&] { got = XGetWindowAttributes(m_connection->get(), m_window, &attributes); });
    if (error != 0 || got == 0)
        return false;
    m_visual = attributes.visual;
    m_depth = attributes.depth;
    const std::string selection =
        "_NET_WM_CM_S" + std::to_string(XScreenNumberOfScreen(attributes.screen));
    m_compositorSelection = XInternAtom(m_connection->get(), selection.c_str(), False);
    return true;
}

bool X11BubbleSurface::CreateGc() {
    ::Display* display = m_connection->get();
    GC gc = nullptr;
    const int error = m_connection->Trapped([&] { gc = XCreateGC(display, m_window, 0, nullptr); });
    m_gc = GcHandle(gc, GcRelease{display});
    return error == 0 && gc != nullptr;
}

// The GC and the image go before the connection they were made on.
void X11BubbleSurface::Close() {
    m_gc.reset();
    m_image.reset();
    m_connection.reset();
    m_device = nullptr;
    m_compositor = false;
    m_hasShape.reset();
    m_cut = Cut::kUnknown;
    m_presents = 0;
    m_failed = false;
}

int32_t X11BubbleSurface::Resize(uint32_t width, uint32_t height) {
    if (m_failed || !m_image)
        return kFail;
    if (width == 0 || height == 0)
        return kInvalidArg;
    // Made before the old one goes, so that a failure leaves the back buffer as it was.
    auto image = ShmImage::Create(*m_connection, m_visual, m_depth, *m_device, width, height);
    if (!image)
        return m_connection->Lost() ? FailForGood(0) : kOutOfMemory;
    m_image = std::move(image);
    m_cut = Cut::kUnknown;
    return kOk;
}

gfx::Texture* X11BubbleSurface::BackBuffer() {
    return m_image ? m_image->Texture() : nullptr;
}

int32_t X11BubbleSurface::Present(bool shapeChanged) {
    if (m_failed || !m_image)
        return kFail;
    if (m_connection->Lost())
        return FailForGood(0);
    if (++m_presents % kCompositorCheckInterval == 0 && m_depth == 32)
        m_compositor = CompositorRuns();
    XImage* image = m_image->Image();
    // Synced before returning (the trap does), so the caller may draw the next frame at once.
    const int error = m_connection->Trapped([&] {
        UpdateShape(shapeChanged);
        XShmPutImage(m_connection->get(), m_window, m_gc.get(), image, 0, 0, 0, 0,
                     static_cast<unsigned>(image->width), static_cast<unsigned>(image->height),
                     False);
    });
    if (error != 0 || m_connection->Lost())
        return FailForGood(error);
    return kOk;
}

bool X11BubbleSurface::ShowsAlpha() const {
    return m_depth == 32 && m_compositor;
}

bool X11BubbleSurface::CompositorRuns() {
    return XGetSelectionOwner(m_connection->get(), m_compositorSelection) != 0;
}

bool X11BubbleSurface::HasShapeExtension() {
    if (!m_hasShape) {
        int eventBase = 0;
        int errorBase = 0;
        m_hasShape = XShapeQueryExtension(m_connection->get(), &eventBase, &errorBase) != 0;
    }
    return *m_hasShape;
}

// A window whose shape is not known to be ours (the first present, a new size, a compositor come
// or gone) is cut or made whole whatever the caller says.
void X11BubbleSurface::UpdateShape(bool shapeChanged) {
    if (!HasShapeExtension())
        return;
    if (!ShowsAlpha()) {
        if (shapeChanged || m_cut != Cut::kShaped)
            CutToOpaquePixels();
        m_cut = Cut::kShaped;
    } else if (m_cut != Cut::kWhole) {
        XShapeCombineMask(m_connection->get(), m_window, ShapeBounding, 0, 0, None, ShapeSet);
        m_cut = Cut::kWhole;
    }
}

void X11BubbleSurface::CutToOpaquePixels() {
    const gfx::Texture& buffer = *m_image->Texture();
    const std::vector<PixelRect> bands =
        OpaqueBands(buffer.Data(), buffer.RowPitch(), buffer.Width(), buffer.Height());
    std::vector<XRectangle> rects;
    rects.reserve(bands.size());
    for (const PixelRect& band : bands)
        rects.push_back({static_cast<short>(band.x), static_cast<short>(band.y),
                         static_cast<unsigned short>(band.width),
                         static_cast<unsigned short>(band.height)});
    XShapeCombineRectangles(m_connection->get(), m_window, ShapeBounding, 0, 0, rects.data(),
                            static_cast<int>(rects.size()), ShapeSet, YXBanded);
}

int32_t X11BubbleSurface::FailForGood(int error) {
    if (!m_failed)
        LogLine("[X11BubbleSurface] window 0x%lx no longer shown (%s, X error %d)\n", m_window,
                m_connection->Lost() ? "display lost" : "window gone", error);
    m_failed = true;
    return kFail;
}

std::unique_ptr<BubbleSurface> CreateX11BubbleSurface(uint64_t window) {
    return std::make_unique<X11BubbleSurface>(std::string(), window);
}

}  // namespace tamro::platform::window
