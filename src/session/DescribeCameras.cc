#include "platform/camera/CameraSystem.h"
#include "tamro/Desktop.h"

namespace tamro {
namespace {

std::vector<CameraFormatDescription> DescribeFormats(platform::camera::CameraSystem& cameras,
                                                     const platform::camera::SourceGroup& group) {
    std::vector<CameraFormatDescription> described;
    try {
        std::unique_ptr<platform::camera::CaptureSession> session = cameras.Open(group);
        for (platform::camera::FrameSource* source : session->FrameSources()) {
            for (const platform::camera::FrameFormat& format : source->SupportedFormats()) {
                if (!format.video)
                    continue;
                const platform::camera::VideoFormat& video = *format.video;
                const double fps =
                    video.rateDenominator
                        ? static_cast<double>(video.rateNumerator) / video.rateDenominator
                        : 0.0;
                described.push_back({video.subtype, video.width, video.height, fps});
            }
        }
        session->Close();
    } catch (const platform::camera::CameraError&) {
        // Busy or gone since the search: listed without formats.
    }
    return described;
}

}  // namespace

std::vector<CameraDescription> DescribeCameras() {
    std::vector<CameraDescription> described;
    const std::shared_ptr<platform::camera::CameraSystem> cameras =
        platform::camera::DefaultCameraSystem("");
    if (!cameras)
        return described;
    try {
        for (const platform::camera::SourceGroup& group : cameras->FindAllSourceGroups()) {
            for (const platform::camera::SourceInfo& source : group.sources) {
                if (source.isColor)
                    described.push_back({source.id, source.name, DescribeFormats(*cameras, group)});
            }
        }
    } catch (const platform::camera::CameraError&) {
    }
    return described;
}

}  // namespace tamro
