#include "platform/media/FfmpegHandles.h"

#include <cerrno>
#include <mutex>

#include "platform/media/MediaTypes.h"

namespace tamro::platform::media {

void QuietFfmpegLogging() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

ResultCode AllocateEncoder(const char* name, CodecContextPtr* context) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec)
        return kUnsupportedFormat;
    context->reset(avcodec_alloc_context3(codec));
    return *context ? kOk : kOutOfMemory;
}

ResultCode OpenEncoder(AVCodecContext* context, bool globalHeader) {
    if (globalHeader)
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int opened = avcodec_open2(context, context->codec, nullptr);
    return opened < 0 ? ResultFromAvError(opened) : kOk;
}

ResultCode ResultFromAvError(int error) {
    switch (error) {
        case AVERROR(ENOENT):
        case AVERROR(ENOTDIR):
            return kPathNotFound;
        case AVERROR(EACCES):
        case AVERROR(EPERM):
        case AVERROR(EROFS):
        case AVERROR(EISDIR):
            return kAccessDenied;
        case AVERROR(ENOMEM):
            return kOutOfMemory;
        case AVERROR(EINVAL):
            return kInvalidArg;
        default:
            return kFail;
    }
}

}  // namespace tamro::platform::media
