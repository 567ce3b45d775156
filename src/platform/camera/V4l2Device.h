#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/camera/V4l2Syscalls.h"

namespace tamro::platform::camera {

// An open video device node. Shared by a capture session, its frame source and its readers, so
// that a reader the owner destroys after the session still finds a valid object; Close ends the
// descriptor for all of them, after which every call fails with EBADF.
// Threading: calls from any thread; Close only once nothing else uses the device.
class V4l2Device {
  public:
    // Opened for streaming (read-write, non-blocking, close-on-exec); null with the errno set in
    // `error` when the node cannot be opened.
    static std::shared_ptr<V4l2Device> Open(std::shared_ptr<V4l2Syscalls> syscalls,
                                            const std::string& path, int* error);

    V4l2Device(std::shared_ptr<V4l2Syscalls> syscalls, std::string path, int fd);
    ~V4l2Device();
    V4l2Device(const V4l2Device&) = delete;
    V4l2Device& operator=(const V4l2Device&) = delete;

    // 0 or the errno value. An interrupted call is made again.
    int Ioctl(unsigned long request, void* argument);

    void Close();

    int Fd() const { return m_fd.load(); }
    const std::string& Path() const { return m_path; }
    V4l2Syscalls& Syscalls() const { return *m_syscalls; }

    // "/dev/video0: Device or resource busy".
    std::string Describe(int error) const;

  private:
    std::shared_ptr<V4l2Syscalls> m_syscalls;
    std::string m_path;
    std::atomic<int> m_fd;
};

// The system's text for an errno value ("Device or resource busy").
std::string ErrorText(int error);

}  // namespace tamro::platform::camera
