#include "platform/window/ShmImage.h"

#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "platform/display/X11Connection.h"
#include "tamro/ResultCode.h"

namespace tamro::platform::window {

namespace {

// BGRA bytes in memory: what the back buffer's drawing writes.
bool IsBgra32(const XImage& image) {
    return image.bits_per_pixel == 32 && image.byte_order == LSBFirst &&
           image.red_mask == 0xFF0000 && image.green_mask == 0xFF00 && image.blue_mask == 0xFF;
}

void* const kNoSegment = reinterpret_cast<void*>(-1);

}  // namespace

std::unique_ptr<ShmImage> ShmImage::Create(X11Connection& connection, Visual* visual, int depth,
                                           gfx::Device& device, uint32_t width, uint32_t height) {
    XShmSegmentInfo info{};
    XImage* image =
        XShmCreateImage(connection.get(), visual, depth, ZPixmap, nullptr, &info, width, height);
    if (!image)
        return nullptr;
    auto shm = std::make_unique<ShmImage>(Key(), connection, image);
    if (!IsBgra32(*image) || !shm->Attach(device))
        return nullptr;
    return shm;
}

ShmImage::ShmImage(Key, X11Connection& connection, XImage* image)
    : m_connection(connection), m_image(image) {
    m_info.shmid = -1;
    m_info.shmaddr = static_cast<char*>(kNoSegment);
    // The image refers to its segment by pointer; point it at ours.
    m_image->obdata = reinterpret_cast<char*>(&m_info);
}

bool ShmImage::Attach(gfx::Device& device) {
    const size_t bytes = static_cast<size_t>(m_image->bytes_per_line) * m_image->height;
    m_info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (m_info.shmid < 0)
        return false;
    m_info.shmaddr = static_cast<char*>(shmat(m_info.shmid, nullptr, 0));
    m_info.readOnly = True;
    m_attached = m_info.shmaddr != kNoSegment &&
                 m_connection.Trapped([&] { XShmAttach(m_connection.get(), &m_info); }) == 0;
    // Marked for removal once the server holds it, so the segment goes when both detach.
    shmctl(m_info.shmid, IPC_RMID, nullptr);
    if (!m_attached)
        return false;
    m_image->data = m_info.shmaddr;
    gfx::TextureDesc desc;
    desc.width = static_cast<uint32_t>(m_image->width);
    desc.height = static_cast<uint32_t>(m_image->height);
    desc.format = gfx::Format::kBGRA8;
    desc.bindFlags = gfx::kBindShaderResource | gfx::kBindRenderTarget;
    return device.WrapTexture(desc, reinterpret_cast<uint8_t*>(m_info.shmaddr),
                              static_cast<uint32_t>(m_image->bytes_per_line), {},
                              &m_texture) == kOk;
}

ShmImage::~ShmImage() {
    m_texture.reset();
    if (m_attached && !m_connection.Lost()) {
        XShmDetach(m_connection.get(), &m_info);
        XSync(m_connection.get(), False);
    }
    m_image->data = nullptr;
    XDestroyImage(m_image);
    if (m_info.shmaddr != kNoSegment)
        shmdt(m_info.shmaddr);
}

}  // namespace tamro::platform::window
