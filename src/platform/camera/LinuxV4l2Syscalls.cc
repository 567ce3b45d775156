#include "platform/camera/LinuxV4l2Syscalls.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace tamro::platform::camera {
namespace {

SyscallResult Checked(long value) {
    return value == -1 ? SyscallResult{-1, errno} : SyscallResult{value, 0};
}

}  // namespace

SyscallResult LinuxV4l2Syscalls::Open(const std::string& path, int flags) {
    return Checked(::open(path.c_str(), flags));
}

SyscallResult LinuxV4l2Syscalls::Close(int fd) {
    return Checked(::close(fd));
}

SyscallResult LinuxV4l2Syscalls::Ioctl(int fd, unsigned long request, void* argument) {
    return Checked(::ioctl(fd, request, argument));
}

MapResult LinuxV4l2Syscalls::Mmap(size_t length, int protection, int flags, int fd, off_t offset) {
    void* address = ::mmap(nullptr, length, protection, flags, fd, offset);
    return address == MAP_FAILED ? MapResult{address, errno} : MapResult{address, 0};
}

SyscallResult LinuxV4l2Syscalls::Munmap(void* address, size_t length) {
    return Checked(::munmap(address, length));
}

SyscallResult LinuxV4l2Syscalls::Poll(std::span<pollfd> fds, int timeoutMs) {
    return Checked(::poll(fds.data(), fds.size(), timeoutMs));
}

DirectoryListing LinuxV4l2Syscalls::ReadDirectory(const std::string& directory) {
    DirectoryListing listing;
    std::error_code error;
    std::filesystem::directory_iterator it(directory, error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error))
        listing.names.push_back(it->path().filename().string());
    listing.error = error.value();
    return listing;
}

ResolvedPath LinuxV4l2Syscalls::Resolve(const std::string& path) {
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::canonical(path, error);
    return {resolved.string(), error.value()};
}

}  // namespace tamro::platform::camera
