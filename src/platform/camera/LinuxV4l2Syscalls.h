#pragma once

#include "platform/camera/V4l2Syscalls.h"

namespace tamro::platform::camera {

// The machine's own calls. libv4l is not used: the engine decodes every format it reads itself.
// Threading: any thread.
class LinuxV4l2Syscalls final : public V4l2Syscalls {
  public:
    SyscallResult Open(const std::string& path, int flags) override;
    SyscallResult Close(int fd) override;
    SyscallResult Ioctl(int fd, unsigned long request, void* argument) override;
    MapResult Mmap(size_t length, int protection, int flags, int fd, off_t offset) override;
    SyscallResult Munmap(void* address, size_t length) override;
    SyscallResult Poll(std::span<pollfd> fds, int timeoutMs) override;
    DirectoryListing ReadDirectory(const std::string& directory) override;
    ResolvedPath Resolve(const std::string& path) override;
};

}  // namespace tamro::platform::camera
