#pragma once

#include "platform/media/EncoderList.h"

namespace tamro::platform::media {

// libavcodec's H.264 encoders: the hardware ones whose device can be opened on this machine
// (h264_nvenc, h264_vaapi, h264_qsv), then libx264. An encoder activates when its device opens;
// it takes an output type when it opens at that size and rate; its input types come from its
// pixel-format list.
class FfmpegEncoderList final : public EncoderList {
  public:
    ResultCode Enumerate(uint32_t flags,
                         std::vector<std::unique_ptr<EncoderActivation>>* found) const override;
};

}  // namespace tamro::platform::media
