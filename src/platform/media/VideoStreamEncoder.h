#pragma once

#include <memory>
#include <string>

#include "platform/media/MediaTypes.h"
#include "platform/media/StreamEncoder.h"

namespace tamro::platform::media {

// H.264 through the encoder named in the configuration, or libx264 when that one is not named or
// does not open. Frames arrive in the stream's input subtype; NV12 and the 4:2:0 planar ones go
// to the codec as they are, packed and RGB ones are converted to 4:2:0 first; a hardware encoder
// that reads only device memory gets each frame uploaded.
class VideoStreamEncoder final : public StreamEncoder {
  public:
    struct Config {
        MediaType output;
        MediaType input;
        CodecSettings settings;
        // Empty for libx264.
        std::string encoderName;
        bool globalHeader = false;
        size_t queueCapacity = 0;
        bool waitWhenFull = false;
    };

    static ResultCode Create(const Config& config, std::unique_ptr<VideoStreamEncoder>* encoder);

    // The x264 preset for a quality-versus-speed value (0 fastest .. 100 best).
    static const char* PresetFor(uint32_t qualityVsSpeed);
    static bool IsSupportedInput(const Guid& subtype);
    static constexpr const char* kSoftwareEncoder = "libx264";

    VideoStreamEncoder(CodecContextPtr context, const Config& config);

    // The encoder that opened.
    const char* EncoderName() const;

  protected:
    ResultCode Encode(MediaSample& sample) override;

  private:
    ResultCode EncodeInPlace(MediaSample& sample);
    ResultCode EncodeConverted(const MediaSample& sample);
    // The previous picture again at the sample's time: no copy and no conversion.
    ResultCode EncodeRepeat(const MediaSample& sample);
    // Uploads first when the codec reads device memory.
    ResultCode Send(AVFrame* frame);
    ResultCode SendAndKeep(AVFrame* frame);

    Guid m_inputSubtype;
    int m_width;
    int m_height;
    FramePtr m_converted;
    FramePtr m_previous;  // the last picture sent, for repeats
};

}  // namespace tamro::platform::media
