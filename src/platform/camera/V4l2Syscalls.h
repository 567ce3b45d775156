#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace tamro::platform::camera {

// What a call returned, with its errno beside it rather than in the thread's global: `error` is 0
// on success, else `value` is -1 (or MAP_FAILED for Mmap) and `error` the errno value.
struct SyscallResult {
    long value = 0;
    int error = 0;
    bool Failed() const { return error != 0; }
};

struct MapResult {
    void* address = nullptr;
    int error = 0;
};

struct DirectoryListing {
    std::vector<std::string> names;  // entry names, without "." and ".."
    int error = 0;
};

struct ResolvedPath {
    std::string path;  // absolute, every link followed
    int error = 0;
};

// Every system call the camera driver code makes, so that it can run against a fake kernel.
// Results are passed through as the system gives them: no retry on EINTR, no interpretation.
// Threading: any thread; calls on different descriptors may run concurrently.
class V4l2Syscalls {
  public:
    virtual ~V4l2Syscalls() = default;

    virtual SyscallResult Open(const std::string& path, int flags) = 0;
    virtual SyscallResult Close(int fd) = 0;
    virtual SyscallResult Ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual MapResult Mmap(size_t length, int protection, int flags, int fd, off_t offset) = 0;
    virtual SyscallResult Munmap(void* address, size_t length) = 0;
    virtual SyscallResult Poll(std::span<pollfd> fds, int timeoutMs) = 0;

    virtual DirectoryListing ReadDirectory(const std::string& directory) = 0;
    virtual ResolvedPath Resolve(const std::string& path) = 0;
};

}  // namespace tamro::platform::camera
