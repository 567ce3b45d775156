#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/camera/CameraSystem.h"
#include "platform/camera/V4l2Syscalls.h"

namespace tamro::platform::camera {

// The machine's video capture nodes, one source group each, in node-number order.
// Threading: any thread; each call works on descriptors of its own.
class V4l2CameraSystem final : public CameraSystem {
  public:
    explicit V4l2CameraSystem(std::shared_ptr<V4l2Syscalls> syscalls);

    std::vector<SourceGroup> FindAllSourceGroups() override;
    // Throws CameraError with the system's message when the node cannot be opened.
    std::unique_ptr<CaptureSession> Open(const SourceGroup& group) override;

  private:
    // Node paths ("/dev/video2") by number.
    std::vector<std::string> CaptureNodeCandidates();
    // The /dev/v4l/by-id path linking to each node, by node path.
    std::map<std::string, std::string> StableNames();
    // The node as a source when it captures video by streaming; metadata and output nodes are
    // not sources. A node too busy to open is taken for a source.
    std::optional<SourceInfo> Probe(const std::string& node);

    std::shared_ptr<V4l2Syscalls> m_syscalls;
};

}  // namespace tamro::platform::camera
