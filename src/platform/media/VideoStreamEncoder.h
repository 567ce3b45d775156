#pragma once

#include <memory>

#include "platform/media/MediaTypes.h"
#include "platform/media/StreamEncoder.h"

namespace tamro::platform::media {

// H.264 through libx264. Frames arrive in the stream's input subtype; NV12 and the 4:2:0 planar
// ones go to the codec as they are, packed and RGB ones are converted to 4:2:0 first.
class VideoStreamEncoder final : public StreamEncoder {
  public:
    struct Config {
        MediaType output;
        MediaType input;
        CodecSettings settings;
        bool globalHeader = false;
        size_t queueCapacity = 0;
        bool waitWhenFull = false;
    };

    static ResultCode Create(const Config& config, std::unique_ptr<VideoStreamEncoder>* encoder);

    // The x264 preset for a quality-versus-speed value (0 fastest .. 100 best).
    static const char* PresetFor(uint32_t qualityVsSpeed);
    static bool IsSupportedInput(const Guid& subtype);

    VideoStreamEncoder(CodecContextPtr context, const Config& config);

  protected:
    ResultCode Encode(MediaSample& sample) override;

  private:
    ResultCode EncodeInPlace(MediaSample& sample);
    ResultCode EncodeConverted(const MediaSample& sample);

    Guid m_inputSubtype;
    int m_width;
    int m_height;
    FramePtr m_converted;
};

}  // namespace tamro::platform::media
