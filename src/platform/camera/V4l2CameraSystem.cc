#include "platform/camera/V4l2CameraSystem.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "diag/Log.h"
#include "platform/camera/V4l2CaptureSession.h"
#include "platform/camera/V4l2Device.h"

namespace tamro::platform::camera {
namespace {

constexpr char kDeviceDirectory[] = "/dev";
constexpr char kStableNameDirectory[] = "/dev/v4l/by-id";
constexpr std::string_view kNodePrefix = "video";

// The N of "videoN"; nothing for any other name.
std::optional<unsigned long> NodeNumber(std::string_view name) {
    if (!name.starts_with(kNodePrefix) || name.size() == kNodePrefix.size() ||
        name.size() > kNodePrefix.size() + 9)
        return std::nullopt;
    unsigned long number = 0;
    for (char c : name.substr(kNodePrefix.size())) {
        if (c < '0' || c > '9')
            return std::nullopt;
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    return number;
}

// The node's own capabilities when the driver reports them apart from the whole device's.
uint32_t NodeCapabilities(const v4l2_capability& capability) {
    return (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? capability.device_caps
                                                                 : capability.capabilities;
}

std::string CardName(const v4l2_capability& capability) {
    const char* card = reinterpret_cast<const char*>(capability.card);
    return std::string(card, strnlen(card, sizeof(capability.card)));
}

}  // namespace

V4l2CameraSystem::V4l2CameraSystem(std::shared_ptr<V4l2Syscalls> syscalls)
    : m_syscalls(std::move(syscalls)) {}

std::vector<SourceGroup> V4l2CameraSystem::FindAllSourceGroups() {
    std::vector<SourceGroup> groups;
    const std::map<std::string, std::string> stableNames = StableNames();
    for (const std::string& node : CaptureNodeCandidates()) {
        std::optional<SourceInfo> source = Probe(node);
        if (!source)
            continue;
        if (auto stable = stableNames.find(node); stable != stableNames.end())
            source->id = stable->second;
        groups.push_back({.name = source->name, .sources = {std::move(*source)}});
    }
    return groups;
}

std::unique_ptr<CaptureSession> V4l2CameraSystem::Open(const SourceGroup& group) {
    if (group.sources.empty())
        throw CameraError(ENODEV, group.name + ": the camera has no video source");
    const SourceInfo& source = group.sources.front();
    const std::string& path = source.path.empty() ? source.id : source.path;
    int error = 0;
    std::shared_ptr<V4l2Device> device = V4l2Device::Open(m_syscalls, path, &error);
    if (!device)
        throw CameraError(error, path + ": " + ErrorText(error));
    return std::make_unique<V4l2CaptureSession>(source, std::move(device));
}

std::vector<std::string> V4l2CameraSystem::CaptureNodeCandidates() {
    std::vector<std::pair<unsigned long, std::string>> numbered;
    for (const std::string& name : m_syscalls->ReadDirectory(kDeviceDirectory).names) {
        if (std::optional<unsigned long> number = NodeNumber(name))
            numbered.emplace_back(*number, std::string(kDeviceDirectory) + "/" + name);
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<std::string> nodes;
    for (auto& [number, path] : numbered)
        nodes.push_back(std::move(path));
    return nodes;
}

std::map<std::string, std::string> V4l2CameraSystem::StableNames() {
    // Absent on machines without cameras, or without udev.
    std::vector<std::string> links = m_syscalls->ReadDirectory(kStableNameDirectory).names;
    std::sort(links.begin(), links.end());
    std::map<std::string, std::string> stableNames;
    for (const std::string& link : links) {
        const std::string path = std::string(kStableNameDirectory) + "/" + link;
        const ResolvedPath node = m_syscalls->Resolve(path);
        if (node.error == 0)
            stableNames.emplace(node.path, path);
    }
    return stableNames;
}

std::optional<SourceInfo> V4l2CameraSystem::Probe(const std::string& node) {
    int error = 0;
    std::shared_ptr<V4l2Device> device = V4l2Device::Open(m_syscalls, node, &error);
    if (!device) {
        // A node the user may not open (not in the video group) or that is busy stays listed
        // unprobed, so that opening it says why, in one line, rather than "not found"; one that
        // vanished does not.
        if (error == ENOENT || error == ENODEV || error == ENXIO)
            return std::nullopt;
        return SourceInfo{
            .id = node, .path = node, .name = "(" + ErrorText(error) + ")", .isColor = true};
    }
    v4l2_capability capability{};
    if (device->Ioctl(VIDIOC_QUERYCAP, &capability) != 0)
        return std::nullopt;
    const uint32_t caps = NodeCapabilities(capability);
    constexpr uint32_t kNeeded = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    if ((caps & kNeeded) != kNeeded || (caps & V4L2_CAP_META_CAPTURE) != 0)
        return std::nullopt;
    return SourceInfo{.id = node, .path = node, .name = CardName(capability), .isColor = true};
}

}  // namespace tamro::platform::camera
