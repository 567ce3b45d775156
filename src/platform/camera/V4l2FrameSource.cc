#include "platform/camera/V4l2FrameSource.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <string>

namespace tamro::platform::camera {
namespace {

std::string Describe(uint32_t fourcc, uint32_t width, uint32_t height) {
    return SubtypeOf(fourcc) + " " + std::to_string(width) + "x" + std::to_string(height);
}

}  // namespace

V4l2FrameSource::V4l2FrameSource(SourceInfo info, std::shared_ptr<V4l2Device> device)
    : m_info(std::move(info)), m_device(std::move(device)) {}

std::vector<FrameFormat> V4l2FrameSource::SupportedFormats() {
    std::vector<FrameFormat> formats;
    for (uint32_t fourcc : PixelFormats()) {
        for (Size size : FrameSizes(fourcc)) {
            std::vector<Interval> intervals = FrameIntervals(fourcc, size);
            // A driver that cannot list its intervals still offers the size, at a rate unknown.
            if (intervals.empty())
                intervals.push_back({0, 0});
            for (auto [numerator, denominator] : intervals) {
                formats.push_back({VideoFormat{.fourcc = fourcc,
                                               .subtype = SubtypeOf(fourcc),
                                               .width = size.width,
                                               .height = size.height,
                                               .rateNumerator = denominator,
                                               .rateDenominator = numerator}});
            }
        }
    }
    return formats;
}

std::vector<uint32_t> V4l2FrameSource::PixelFormats() {
    std::vector<uint32_t> fourccs;
    for (uint32_t index = 0;; ++index) {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (int error = m_device->Ioctl(VIDIOC_ENUM_FMT, &description)) {
            if (error != EINVAL)
                throw CameraError(error, m_device->Describe(error));
            return fourccs;
        }
        fourccs.push_back(description.pixelformat);
    }
}

std::vector<V4l2FrameSource::Size> V4l2FrameSource::FrameSizes(uint32_t fourcc) {
    std::vector<Size> sizes;
    for (uint32_t index = 0;; ++index) {
        v4l2_frmsizeenum size{};
        size.index = index;
        size.pixel_format = fourcc;
        if (int error = m_device->Ioctl(VIDIOC_ENUM_FRAMESIZES, &size)) {
            ThrowIfGone(error);
            return sizes;
        }
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            sizes.push_back({size.discrete.width, size.discrete.height});
            continue;
        }
        // A stepwise or continuous range is its only entry.
        sizes.push_back({size.stepwise.max_width, size.stepwise.max_height});
        return sizes;
    }
}

std::vector<V4l2FrameSource::Interval> V4l2FrameSource::FrameIntervals(uint32_t fourcc, Size size) {
    std::vector<Interval> intervals;
    for (uint32_t index = 0;; ++index) {
        v4l2_frmivalenum interval{};
        interval.index = index;
        interval.pixel_format = fourcc;
        interval.width = size.width;
        interval.height = size.height;
        if (int error = m_device->Ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &interval)) {
            ThrowIfGone(error);
            return intervals;
        }
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            intervals.push_back({interval.discrete.numerator, interval.discrete.denominator});
            continue;
        }
        intervals.push_back({interval.stepwise.min.numerator, interval.stepwise.min.denominator});
        return intervals;
    }
}

FrameFormat V4l2FrameSource::CurrentFormat() {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (int error = m_device->Ioctl(VIDIOC_G_FMT, &format))
        throw CameraError(error, m_device->Describe(error));
    VideoFormat video{.fourcc = format.fmt.pix.pixelformat,
                      .subtype = SubtypeOf(format.fmt.pix.pixelformat),
                      .width = format.fmt.pix.width,
                      .height = format.fmt.pix.height};
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (m_device->Ioctl(VIDIOC_G_PARM, &parameters) == 0) {
        video.rateNumerator = parameters.parm.capture.timeperframe.denominator;
        video.rateDenominator = parameters.parm.capture.timeperframe.numerator;
    }
    return {video};
}

void V4l2FrameSource::SetFormat(const VideoFormat& wanted) {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.pixelformat = wanted.fourcc;
    format.fmt.pix.width = wanted.width;
    format.fmt.pix.height = wanted.height;
    format.fmt.pix.field = V4L2_FIELD_ANY;
    if (int error = m_device->Ioctl(VIDIOC_S_FMT, &format))
        throw CameraError(error, m_device->Describe(error));
    const v4l2_pix_format& set = format.fmt.pix;
    if (set.pixelformat != wanted.fourcc || set.width != wanted.width ||
        set.height != wanted.height) {
        throw CameraError(EINVAL, "the camera refused the format " +
                                      Describe(wanted.fourcc, wanted.width, wanted.height) + " (" +
                                      m_device->Path() + " chose " +
                                      Describe(set.pixelformat, set.width, set.height) + ")");
    }
    SetRate(wanted);
}

void V4l2FrameSource::SetRate(const VideoFormat& format) {
    if (format.rateNumerator == 0 || format.rateDenominator == 0)
        return;
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parameters.parm.capture.timeperframe = {format.rateDenominator, format.rateNumerator};
    const int error = m_device->Ioctl(VIDIOC_S_PARM, &parameters);
    // A driver without rate control keeps its own rate.
    if (error != 0 && error != EINVAL && error != ENOTTY)
        throw CameraError(error, m_device->Describe(error));
}

void V4l2FrameSource::ThrowIfGone(int error) const {
    if (error == ENODEV || error == EBADF)
        throw CameraError(error, m_device->Describe(error));
}

}  // namespace tamro::platform::camera
