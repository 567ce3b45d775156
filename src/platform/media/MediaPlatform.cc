#include "platform/media/MediaPlatform.h"

#include "platform/media/FfmpegHandles.h"

namespace tamro::platform::media {

ResultCode StartMediaPlatform() {
    QuietFfmpegLogging();
    const bool complete = avcodec_find_encoder_by_name("libx264") &&
                          avcodec_find_encoder_by_name("aac") &&
                          av_guess_format("mp4", nullptr, nullptr);
    return complete ? kOk : kFail;
}

}  // namespace tamro::platform::media
