#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/DeviceManager.h"
#include "platform/media/FfmpegHandles.h"
#include "platform/media/MediaSample.h"
#include "platform/media/MediaSink.h"
#include "platform/media/MediaTypes.h"
#include "platform/media/StreamEncoder.h"

namespace tamro::platform::media {

// The media sink on libavformat: each stream encodes on its own thread behind a bounded queue.
// The file is written as fragments of at most a second, so a crash leaves everything up to the
// last second playable; Finalize drains the streams, closes the file and rewrites it as a regular
// MP4 with its index at the front.
// Threading: as MediaSink.
class SinkWriter final : public MediaSink {
  public:
    struct Key {
      private:
        Key() = default;
        friend class SinkWriter;
    };
    SinkWriter(Key, std::string path, OutputFormatPtr format, SinkWriterAttributes attributes);
    ~SinkWriter() override;

    SinkWriter(const SinkWriter&) = delete;
    SinkWriter& operator=(const SinkWriter&) = delete;

    // The container follows from the extension (".mp4"); the file is created at once.
    static ResultCode CreateFromPath(const std::string& path,
                                     const SinkWriterAttributes& attributes,
                                     std::unique_ptr<SinkWriter>* writer);

    ResultCode AddStream(const MediaType& output, uint32_t* streamIndex) override;
    ResultCode SetInputMediaType(uint32_t streamIndex, const MediaType& input) override;
    ResultCode GetCodecSettings(uint32_t streamIndex, CodecSettings** settings) override;
    void SetFileTag(const std::string& key, const std::string& value) override;

    ResultCode BeginWriting() override;
    ResultCode WriteSample(uint32_t streamIndex, MediaSample sample) override;
    ResultCode Finalize() override;
    void Abandon() override;

    std::string WriteFailure() const override;
    const std::string& Path() const override { return m_path; }
    std::string VideoEncoderName(uint32_t streamIndex) override;

  private:
    struct Stream {
        MediaType output;
        std::optional<MediaType> input;
        CodecSettings settings;
        std::unique_ptr<StreamEncoder> encoder;
        std::string encoderName;
        AVStream* avStream = nullptr;
    };
    enum class State { kConfiguring, kWriting, kFinalized };

    Stream* FindStream(uint32_t streamIndex);
    ResultCode CreateEncoder(Stream& stream);
    ResultCode WritePacket(AVStream* avStream, AVPacket* packet, AVRational timeBase);
    void RemoveFile();

    const std::string m_path;
    OutputFormatPtr m_format;
    SinkWriterAttributes m_attributes;
    std::vector<Stream> m_streams;
    std::atomic<State> m_state{State::kConfiguring};
    std::mutex m_muxMutex;
    int64_t m_packetsWritten = 0;      // under m_muxMutex
    int64_t m_completeBytes = 0;       // the file's size after the last write that succeeded
    std::atomic<int> m_writeError{0};  // the first muxer failure, an FFmpeg error code
};

}  // namespace tamro::platform::media
