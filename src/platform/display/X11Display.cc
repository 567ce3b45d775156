#include "platform/display/X11Display.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "diag/Log.h"
#include "platform/display/QueuedFramePool.h"
#include "platform/display/X11Connection.h"
#include "platform/system/SteadyClock.h"
#include "shaders/BlendCursor.h"
#include "tamro/ResultCode.h"

namespace tamro::platform {

namespace {

constexpr int32_t kInvalidWindowHandle = static_cast<int32_t>(0x80070578);
// Grabs follow damage at most this often, as a 60 Hz compositor would deliver them.
constexpr int64_t kMinGrabIntervalNs = 16'000'000;
// How long the worker sleeps without events; bounds how late it sees a stop.
constexpr int kIdlePollMs = 20;

template <typename T>
struct XFreeDeleter {
    void operator()(T* p) const {
        if (p)
            XFree(p);
    }
};
template <typename T>
using XPtr = std::unique_ptr<T, XFreeDeleter<T>>;

// Reads a CARDINAL/WINDOW/ATOM property as 32-bit items.
std::vector<unsigned long> ReadLongs(::Display* display, ::Window window, const char* name) {
    const Atom atom = XInternAtom(display, name, True);
    if (atom == None)
        return {};
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* raw = nullptr;
    if (XGetWindowProperty(display, window, atom, 0, 4096, False, AnyPropertyType, &type, &format,
                           &count, &after, &raw) != Success ||
        !raw) {
        return {};
    }
    XPtr<unsigned char> data(raw);
    if (format != 32)
        return {};
    const auto* values = reinterpret_cast<const unsigned long*>(raw);
    return std::vector<unsigned long>(values, values + count);
}

std::string ReadTitle(::Display* display, ::Window window) {
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* raw = nullptr;
    if (XGetWindowProperty(display, window, netName, 0, 1024, False, utf8, &type, &format, &count,
                           &after, &raw) == Success &&
        raw) {
        XPtr<unsigned char> data(raw);
        if (count)
            return std::string(reinterpret_cast<char*>(raw), count);
    }
    char* name = nullptr;
    if (XFetchName(display, window, &name) && name) {
        XPtr<char> owned(name);
        return name;
    }
    return {};
}

// A monitor or a window, and where its pixels are on the drawable it is read from.
class X11Item final : public CaptureItem {
  public:
    X11Item(::Window drawable, bool isWindow, int32_t x, int32_t y, FrameSize size,
            int32_t desktopX, int32_t desktopY)
        : drawable(drawable),
          isWindow(isWindow),
          x(x),
          y(y),
          size(size),
          desktopX(desktopX),
          desktopY(desktopY) {}
    FrameSize Size() const override { return size; }

    const ::Window drawable;
    const bool isWindow;
    const int32_t x;  // offset of the content in the drawable
    const int32_t y;
    const FrameSize size;
    const int32_t desktopX;  // content origin on the desktop, for the cursor
    const int32_t desktopY;
};

// The capture connection, shared by a pool's buffers and its session's worker.
struct CaptureLink {
    std::mutex mutex;
    std::unique_ptr<X11Connection> connection;
    Visual* visual = nullptr;
    int depth = 24;
};

// A pool buffer in a shared-memory segment the server writes into directly.
class ShmBuffer final : public PoolBuffer {
  public:
    ShmBuffer(std::shared_ptr<gfx::Texture> texture, std::shared_ptr<CaptureLink> link,
              XImage* image, XShmSegmentInfo info)
        : PoolBuffer(std::move(texture)), m_link(std::move(link)), m_image(image), m_info(info) {
        // The image refers to its segment info by pointer; point it at our copy.
        m_image->obdata = reinterpret_cast<char*>(&m_info);
    }
    ~ShmBuffer() override {
        std::lock_guard lock(m_link->mutex);
        XShmDetach(m_link->connection->get(), &m_info);
        XSync(m_link->connection->get(), False);
        m_image->data = nullptr;
        XDestroyImage(m_image);
        shmdt(m_info.shmaddr);
    }

    XShmSegmentInfo* Info() { return &m_info; }
    XImage* Image() { return m_image; }

  private:
    std::shared_ptr<CaptureLink> m_link;
    XImage* m_image;
    XShmSegmentInfo m_info;
};

// A fresh segment's pages are mapped on first touch, in each process: for a 1080p frame that made
// the first grab into it 25 ms slower, and its frame stamped that late. Both sides touch them now.
void WarmUp(CaptureLink& link, XImage* image, size_t bytes) {
    std::memset(image->data, 0, bytes);
    link.connection->Trapped([&] {
        XShmGetImage(link.connection->get(), link.connection->root(), image, 0, 0, AllPlanes);
    });
}

std::unique_ptr<PoolBuffer> CreateShmBuffer(const std::shared_ptr<gfx::Device>& device,
                                            const std::shared_ptr<CaptureLink>& link,
                                            FrameSize size) {
    std::lock_guard lock(link->mutex);
    ::Display* display = link->connection->get();
    XShmSegmentInfo info{};
    XImage* image = XShmCreateImage(display, link->visual, link->depth, ZPixmap, nullptr, &info,
                                    size.width, size.height);
    if (!image)
        return nullptr;
    if (image->bits_per_pixel != 32) {
        XDestroyImage(image);
        return nullptr;
    }
    const size_t bytes = static_cast<size_t>(image->bytes_per_line) * image->height;
    info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (info.shmid < 0) {
        XDestroyImage(image);
        return nullptr;
    }
    info.shmaddr = image->data = static_cast<char*>(shmat(info.shmid, nullptr, 0));
    info.readOnly = False;
    const bool attached = info.shmaddr != reinterpret_cast<char*>(-1) &&
                          link->connection->Trapped([&] { XShmAttach(display, &info); }) == 0;
    // Marked for removal only once the server holds it, so the segment goes when both detach.
    shmctl(info.shmid, IPC_RMID, nullptr);
    if (!attached) {
        if (info.shmaddr != reinterpret_cast<char*>(-1))
            shmdt(info.shmaddr);
        image->data = nullptr;
        XDestroyImage(image);
        return nullptr;
    }
    WarmUp(*link, image, bytes);
    gfx::TextureDesc desc;
    desc.width = size.width;
    desc.height = size.height;
    desc.bindFlags = gfx::kBindShaderResource;
    std::shared_ptr<gfx::Texture> texture;
    device->WrapTexture(desc, reinterpret_cast<uint8_t*>(info.shmaddr), image->bytes_per_line, {},
                        &texture);
    return std::make_unique<ShmBuffer>(std::move(texture), link, image, info);
}

// Blends the XFixes cursor (premultiplied ARGB, one pixel per unsigned long) onto the content of
// a BGRA buffer. The pixels are packed to 32 bits here, so X types stay in this file; the blend
// is the shader library's.
void DrawCursor(const XFixesCursorImage& cursor, int32_t left, int32_t top, gfx::Texture& target,
                FrameSize content) {
    if (cursor.width == 0 || cursor.height == 0)
        return;
    const size_t count = static_cast<size_t>(cursor.width) * cursor.height;
    std::vector<uint32_t> pixels(count);
    for (size_t i = 0; i < count; ++i)
        pixels[i] = static_cast<uint32_t>(cursor.pixels[i]);
    shaders::BlendCursor(reinterpret_cast<const uint8_t*>(pixels.data()), cursor.width * 4u,
                         cursor.width, cursor.height, left, top, target.Data(), target.RowPitch(),
                         std::min<int32_t>(target.Width(), content.width),
                         std::min<int32_t>(target.Height(), content.height));
}

// Grabs on damage (and cursor motion when the cursor is drawn) on a worker thread.
class X11Session final : public CaptureSession {
  public:
    X11Session(std::shared_ptr<CaptureLink> link, const X11Item& item,
               std::shared_ptr<QueuedFramePool> pool)
        : m_link(std::move(link)), m_item(item), m_pool(std::move(pool)) {}
    ~X11Session() override { StopWorker(); }

    int32_t SetCursorCaptureEnabled(bool enabled) override {
        m_cursor = enabled;
        return kOk;
    }
    int32_t SetBorderRequired(bool) override { return kOk; }
    void SetEndedHandler(std::function<void(CaptureEnd)> handler) override {
        m_ended = std::move(handler);
    }
    int32_t StartCapture() override {
        if (m_worker.joinable())
            return kFail;
        if (!SetUpEvents())
            return kFail;
        m_running = true;
        m_worker = std::thread([this] { Run(); });
        return kOk;
    }
    void Close() override { StopWorker(); }

  private:
    bool SetUpEvents() {
        std::lock_guard lock(m_link->mutex);
        X11Connection& connection = *m_link->connection;
        ::Display* display = connection.get();
        int errorBase = 0;
        m_hasDamage = XDamageQueryExtension(display, &m_damageEvent, &errorBase);
        const int error = connection.Trapped([&] {
            if (m_item.isWindow) {
                int major = 0, minor = 0;
                if (XCompositeQueryVersion(display, &major, &minor)) {
                    XCompositeRedirectWindow(display, m_item.drawable, CompositeRedirectAutomatic);
                }
                XSelectInput(display, m_item.drawable, StructureNotifyMask);
            }
            if (m_hasDamage) {
                m_damage = XDamageCreate(display, m_item.drawable, XDamageReportNonEmpty);
            }
        });
        if (error != 0) {
            LogLine("[X11Display] cannot watch drawable 0x%lx (X error %d)\n",
                    static_cast<unsigned long>(m_item.drawable), error);
            return false;
        }
        if (!m_hasDamage)
            LogLine("[X11Display] no XDamage: grabbing every frame\n");
        m_content = m_item.size;
        return true;
    }

    void StopWorker() {
        m_running = false;
        if (m_worker.joinable())
            m_worker.join();
        std::lock_guard lock(m_link->mutex);
        if (m_damage) {
            m_link->connection->Trapped(
                [&] { XDamageDestroy(m_link->connection->get(), m_damage); });
            m_damage = 0;
        }
    }

    void Run() {
        bool dirty = true;  // the first frame goes out at once, as on a fresh session
        int64_t lastGrabNs = 0;
        while (m_running) {
            if (m_link->connection->Lost()) {
                End(CaptureEnd::kConnectionLost);
                return;
            }
            dirty |= DrainEvents();
            if (m_gone) {
                End(CaptureEnd::kItemClosed);
            }
            dirty |= !m_hasDamage;
            dirty |= m_cursor && CursorMoved();
            dirty |= m_truncated;
            const int64_t now = SteadyClockNs();
            if (dirty && now - lastGrabNs >= kMinGrabIntervalNs && !m_gone) {
                if (Grab()) {
                    dirty = false;
                    lastGrabNs = now;
                }
            }
            const int waitMs =
                dirty ? std::max<int>(
                            1, (kMinGrabIntervalNs - (SteadyClockNs() - lastGrabNs)) / 1'000'000)
                : m_cursor ? 16
                           : kIdlePollMs;
            WaitForEvents(waitMs);
        }
    }

    void End(CaptureEnd why) {
        if (m_ended && !m_endSaid) {
            m_endSaid = true;
            m_ended(why);
        }
    }

    void WaitForEvents(int timeoutMs) {
        pollfd fd{ConnectionNumber(m_link->connection->get()), POLLIN, 0};
        {
            std::lock_guard lock(m_link->mutex);
            if (XPending(m_link->connection->get()) > 0)
                return;
        }
        poll(&fd, 1, timeoutMs);
    }

    // True when the content changed.
    bool DrainEvents() {
        std::lock_guard lock(m_link->mutex);
        ::Display* display = m_link->connection->get();
        bool changed = false;
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (m_hasDamage && event.type == m_damageEvent + XDamageNotify) {
                changed = true;
            } else if (event.type == ConfigureNotify && m_item.isWindow) {
                const FrameSize size{static_cast<uint32_t>(event.xconfigure.width),
                                     static_cast<uint32_t>(event.xconfigure.height)};
                changed |= !(size == m_content);
                m_content = size;
            } else if (event.type == DestroyNotify && m_item.isWindow) {
                m_gone = true;
            }
        }
        if (changed && m_damage)
            XDamageSubtract(display, m_damage, None, None);
        return changed;
    }

    bool CursorMoved() {
        std::lock_guard lock(m_link->mutex);
        ::Display* display = m_link->connection->get();
        ::Window rootReturn, child;
        int rootX = 0, rootY = 0, winX = 0, winY = 0;
        unsigned int mask = 0;
        if (!XQueryPointer(display, m_link->connection->root(), &rootReturn, &child, &rootX, &rootY,
                           &winX, &winY, &mask)) {
            return false;
        }
        const bool moved = rootX != m_pointerX || rootY != m_pointerY;
        m_pointerX = rootX;
        m_pointerY = rootY;
        return moved;
    }

    bool Grab() {
        std::unique_ptr<PoolBuffer> buffer = m_pool->AcquireBuffer();
        if (!buffer)
            return false;
        auto* shm = static_cast<ShmBuffer*>(buffer.get());
        const FrameSize content = m_content;
        const FrameSize grab{std::min(content.width, buffer->Size().width),
                             std::min(content.height, buffer->Size().height)};
        // The server takes the pixels when it handles the request, right after this instant.
        const int64_t capturedNs = SteadyClockNs();
        if (grab.width == 0 || grab.height == 0 || !GrabInto(*shm, grab)) {
            m_pool->ReturnBuffer(std::move(buffer));
            return true;  // nothing to grab now; wait for the next change
        }
        if (m_cursor)
            DrawCursorOnto(*buffer->Texture(), content);
        // A buffer smaller than the content is a frame from before the pool's recreation: grab
        // again once buffers of the new size are there, even if nothing changes meanwhile.
        m_truncated = !(grab == content);
        m_pool->Publish(std::move(buffer), content, capturedNs);
        return true;
    }

    bool GrabInto(ShmBuffer& buffer, FrameSize grab) {
        std::lock_guard lock(m_link->mutex);
        X11Connection& connection = *m_link->connection;
        ::Display* display = connection.get();
        XImage* image = buffer.Image();
        if (grab == buffer.Size()) {
            bool ok = false;
            const int error = connection.Trapped([&] {
                ok = XShmGetImage(display, m_item.drawable, image, m_item.x, m_item.y, AllPlanes);
            });
            return ok && error == 0;
        }
        // A window smaller than the pool: the server writes rows at the smaller width, which are
        // then spread to the buffer's pitch, last row first so none is overwritten early.
        XImage* part =
            XShmCreateImage(display, m_link->visual, m_link->depth, ZPixmap, buffer.Info()->shmaddr,
                            buffer.Info(), grab.width, grab.height);
        if (!part)
            return false;
        bool ok = false;
        const int error = connection.Trapped([&] {
            ok = XShmGetImage(display, m_item.drawable, part, m_item.x, m_item.y, AllPlanes);
        });
        const size_t packed = static_cast<size_t>(part->bytes_per_line);
        part->data = nullptr;
        XDestroyImage(part);
        if (!ok || error != 0)
            return false;
        uint8_t* base = reinterpret_cast<uint8_t*>(buffer.Info()->shmaddr);
        for (uint32_t y = grab.height; y-- > 1;) {
            std::memmove(base + static_cast<size_t>(y) * image->bytes_per_line, base + y * packed,
                         static_cast<size_t>(grab.width) * 4);
        }
        return true;
    }

    void DrawCursorOnto(gfx::Texture& texture, FrameSize content) {
        std::lock_guard lock(m_link->mutex);
        XPtr<XFixesCursorImage> cursor(XFixesGetCursorImage(m_link->connection->get()));
        if (!cursor)
            return;
        int32_t originX = m_item.desktopX;
        int32_t originY = m_item.desktopY;
        if (m_item.isWindow) {
            ::Window child;
            m_link->connection->Trapped([&] {
                XTranslateCoordinates(m_link->connection->get(), m_item.drawable,
                                      m_link->connection->root(), 0, 0, &originX, &originY, &child);
            });
        }
        DrawCursor(*cursor, cursor->x - cursor->xhot - originX, cursor->y - cursor->yhot - originY,
                   texture, content);
    }

    const std::shared_ptr<CaptureLink> m_link;
    const X11Item m_item;
    const std::shared_ptr<QueuedFramePool> m_pool;
    std::atomic<bool> m_cursor{true};
    std::atomic<bool> m_running{false};
    std::thread m_worker;
    bool m_hasDamage = false;
    int m_damageEvent = 0;
    Damage m_damage = 0;
    FrameSize m_content;       // worker thread only
    bool m_truncated = false;  // worker thread only
    bool m_gone = false;
    std::function<void(CaptureEnd)> m_ended;
    bool m_endSaid = false;  // worker thread only
    int m_pointerX = -1;
    int m_pointerY = -1;
};

}  // namespace

std::shared_ptr<X11Display> X11Display::Open(const std::string& name) {
    std::unique_ptr<X11Connection> connection = X11Connection::Open(name);
    if (!connection) {
        LogLine("[X11Display] cannot open display '%s'\n",
                name.empty() ? (getenv("DISPLAY") ? getenv("DISPLAY") : "") : name.c_str());
        return nullptr;
    }
    if (!XShmQueryExtension(connection->get())) {
        LogLine("[X11Display] display has no MIT-SHM extension\n");
        return nullptr;
    }
    return std::make_shared<X11Display>(Key(), name, std::move(connection));
}

X11Display::X11Display(Key, std::string name, std::unique_ptr<X11Connection> connection)
    : m_name(std::move(name)), m_connection(std::move(connection)) {}

X11Display::~X11Display() = default;

std::vector<MonitorInfo> X11Display::Monitors() {
    std::lock_guard lock(m_mutex);
    ::Display* display = m_connection->get();
    int count = 0;
    std::vector<MonitorInfo> monitors;
    XRRMonitorInfo* raw = XRRGetMonitors(display, m_connection->root(), True, &count);
    for (int i = 0; raw && i < count; ++i) {
        const XRRMonitorInfo& m = raw[i];
        MonitorInfo info;
        info.id = m.noutput > 0 ? m.outputs[0] : m.name;
        info.x = m.x;
        info.y = m.y;
        info.width = static_cast<uint32_t>(m.width);
        info.height = static_cast<uint32_t>(m.height);
        info.primary = m.primary;
        if (char* atomName = XGetAtomName(display, m.name)) {
            info.name = atomName;
            XFree(atomName);
        }
        monitors.push_back(std::move(info));
    }
    if (raw)
        XRRFreeMonitors(raw);
    if (monitors.empty()) {
        // No RandR monitors: the whole screen is one.
        Screen* screen = DefaultScreenOfDisplay(display);
        monitors.push_back({static_cast<uint64_t>(m_connection->root()), 0, 0,
                            static_cast<uint32_t>(WidthOfScreen(screen)),
                            static_cast<uint32_t>(HeightOfScreen(screen)), true, "screen"});
    }
    if (std::none_of(monitors.begin(), monitors.end(), [](auto& m) { return m.primary; })) {
        monitors.front().primary = true;
    }
    return monitors;
}

std::optional<WindowInfo> X11Display::DescribeWindow(unsigned long window) {
    ::Display* display = m_connection->get();
    XWindowAttributes attributes{};
    int x = 0, y = 0;
    ::Window child;
    bool ok = false;
    const int error = m_connection->Trapped([&] {
        ok = XGetWindowAttributes(display, window, &attributes) &&
             XTranslateCoordinates(display, window, m_connection->root(), 0, 0, &x, &y, &child);
    });
    if (!ok || error != 0 || attributes.c_class != InputOutput)
        return std::nullopt;
    WindowInfo info;
    info.id = window;
    info.title = ReadTitle(display, window);
    const auto pid = ReadLongs(display, window, "_NET_WM_PID");
    info.processId = pid.empty() ? 0 : static_cast<uint32_t>(pid.front());
    info.x = x;
    info.y = y;
    info.width = static_cast<uint32_t>(attributes.width);
    info.height = static_cast<uint32_t>(attributes.height);
    return info;
}

std::vector<WindowInfo> X11Display::Windows() {
    std::lock_guard lock(m_mutex);
    ::Display* display = m_connection->get();
    std::vector<unsigned long> ids = ReadLongs(display, m_connection->root(), "_NET_CLIENT_LIST");
    if (ids.empty()) {
        // No window manager: the mapped top-level windows.
        ::Window rootReturn, parent;
        ::Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(display, m_connection->root(), &rootReturn, &parent, &children, &count)) {
            XPtr<::Window> owned(children);
            for (unsigned int i = 0; i < count; ++i) {
                XWindowAttributes attributes{};
                if (XGetWindowAttributes(display, children[i], &attributes) &&
                    attributes.map_state == IsViewable && !attributes.override_redirect) {
                    ids.push_back(children[i]);
                }
            }
        }
    }
    std::vector<WindowInfo> windows;
    for (unsigned long id : ids) {
        if (auto info = DescribeWindow(id))
            windows.push_back(std::move(*info));
    }
    return windows;
}

std::optional<MonitorInfo> X11Display::MonitorNearestWindow(uint64_t window) {
    std::optional<WindowInfo> info;
    {
        std::lock_guard lock(m_mutex);
        info = DescribeWindow(window);
    }
    if (!info)
        return std::nullopt;
    return NearestMonitor(Monitors(), *info);
}

bool X11Display::IsIconic(uint64_t window) {
    std::lock_guard lock(m_mutex);
    std::vector<unsigned long> state;
    m_connection->Trapped([&] { state = ReadLongs(m_connection->get(), window, "WM_STATE"); });
    return !state.empty() && state.front() == IconicState;
}

uint32_t X11Display::WindowProcessId(uint64_t window) {
    std::lock_guard lock(m_mutex);
    std::vector<unsigned long> pid;
    m_connection->Trapped([&] { pid = ReadLongs(m_connection->get(), window, "_NET_WM_PID"); });
    return pid.empty() ? 0 : static_cast<uint32_t>(pid.front());
}

std::optional<CursorPosition> X11Display::Cursor() {
    std::lock_guard lock(m_mutex);
    ::Window rootReturn, child;
    int x = 0, y = 0, winX = 0, winY = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(m_connection->get(), m_connection->root(), &rootReturn, &child, &x, &y,
                       &winX, &winY, &mask)) {
        return std::nullopt;
    }
    return CursorPosition{x, y};
}

int32_t X11Display::CreateItemForMonitor(uint64_t monitor, std::unique_ptr<CaptureItem>* item) {
    if (!item)
        return kPointer;
    const std::optional<MonitorInfo> info = FindMonitor(monitor);
    if (!info)
        return kInvalidArg;
    std::lock_guard lock(m_mutex);
    *item = std::make_unique<X11Item>(m_connection->root(), false, info->x, info->y,
                                      FrameSize{info->width, info->height}, info->x, info->y);
    return kOk;
}

int32_t X11Display::CreateItemForWindow(uint64_t window, std::unique_ptr<CaptureItem>* item) {
    if (!item)
        return kPointer;
    std::lock_guard lock(m_mutex);
    const std::optional<WindowInfo> info = window ? DescribeWindow(window) : std::nullopt;
    if (!info || info->width == 0 || info->height == 0)
        return kInvalidWindowHandle;
    *item = std::make_unique<X11Item>(window, true, 0, 0, FrameSize{info->width, info->height},
                                      info->x, info->y);
    return kOk;
}

int32_t X11Display::CreateFramePool(const std::shared_ptr<gfx::Device>& device,
                                    const CaptureItem& item, uint32_t bufferCount, FrameSize size,
                                    std::shared_ptr<FramePool>* pool) {
    if (!pool || !device)
        return kPointer;
    if (size.width == 0 || size.height == 0 || bufferCount == 0)
        return kInvalidArg;
    if (!dynamic_cast<const X11Item*>(&item))
        return kInvalidArg;
    auto link = std::make_shared<CaptureLink>();
    link->connection = X11Connection::Open(m_name);
    if (!link->connection)
        return kFail;
    ::Display* display = link->connection->get();
    link->visual = DefaultVisual(display, DefaultScreen(display));
    link->depth = DefaultDepth(display, DefaultScreen(display));
    auto bufferFactory = [device, link](FrameSize bufferSize) {
        return CreateShmBuffer(device, link, bufferSize);
    };
    auto sessionFactory = [link](const CaptureItem& captureItem, QueuedFramePool& framePool,
                                 std::unique_ptr<CaptureSession>* session) {
        const auto* ours = dynamic_cast<const X11Item*>(&captureItem);
        if (!ours)
            return kInvalidArg;
        *session = std::make_unique<X11Session>(
            link, *ours, std::static_pointer_cast<QueuedFramePool>(framePool.shared_from_this()));
        return kOk;
    };
    auto created = std::make_shared<QueuedFramePool>(bufferCount, size, std::move(bufferFactory),
                                                     std::move(sessionFactory));
    created->Preallocate();
    *pool = std::move(created);
    return kOk;
}

}  // namespace tamro::platform
