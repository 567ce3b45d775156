#include "platform/camera/V4l2Device.h"

#include <fcntl.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace tamro::platform::camera {

std::string ErrorText(int error) {
    return std::generic_category().message(error);
}

std::shared_ptr<V4l2Device> V4l2Device::Open(std::shared_ptr<V4l2Syscalls> syscalls,
                                             const std::string& path, int* error) {
    const SyscallResult opened = syscalls->Open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    *error = opened.error;
    if (opened.Failed())
        return nullptr;
    return std::make_shared<V4l2Device>(std::move(syscalls), path, static_cast<int>(opened.value));
}

V4l2Device::V4l2Device(std::shared_ptr<V4l2Syscalls> syscalls, std::string path, int fd)
    : m_syscalls(std::move(syscalls)), m_path(std::move(path)), m_fd(fd) {}

V4l2Device::~V4l2Device() {
    Close();
}

int V4l2Device::Ioctl(unsigned long request, void* argument) {
    const int fd = m_fd.load();
    if (fd < 0)
        return EBADF;
    SyscallResult result;
    do {
        result = m_syscalls->Ioctl(fd, request, argument);
    } while (result.error == EINTR);
    return result.error;
}

void V4l2Device::Close() {
    const int fd = m_fd.exchange(-1);
    if (fd >= 0)
        m_syscalls->Close(fd);
}

std::string V4l2Device::Describe(int error) const {
    return m_path + ": " + ErrorText(error);
}

}  // namespace tamro::platform::camera
