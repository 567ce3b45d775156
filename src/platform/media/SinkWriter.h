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
#include "platform/media/MediaTypes.h"
#include "platform/media/StreamEncoder.h"

namespace tamro::platform::media {

struct SinkWriterAttributes {
    bool enableHardwareTransforms = false;
    // Writes never wait for an encoder: a stream whose queue is full refuses the sample.
    bool disableThrottling = false;
    // Set only when a hardware encoder that takes this device was found.
    std::shared_ptr<DeviceManager> deviceManager;
    // The H.264 encoder the video stream opens; libx264 when empty or when it does not open.
    std::string videoEncoderName;
};

// Writes an MP4 file with an H.264 video stream and an AAC audio stream through libavformat.
// Streams are declared (output type, then input type and codec settings), then writing begins;
// each stream encodes on its own thread behind a bounded queue, and Finalize drains them, writes
// the trailer and closes the file. A writer that never began writing removes its file.
// Threading: configuration, BeginWriting and Finalize from one control thread. WriteSample may run
// for different streams concurrently (one thread per stream), never concurrently with Finalize.
class SinkWriter {
  public:
    struct Key {
      private:
        Key() = default;
        friend class SinkWriter;
    };
    SinkWriter(Key, std::string path, OutputFormatPtr format, SinkWriterAttributes attributes);
    ~SinkWriter();

    SinkWriter(const SinkWriter&) = delete;
    SinkWriter& operator=(const SinkWriter&) = delete;

    // The container follows from the extension (".mp4"); the file is created at once.
    static ResultCode CreateFromPath(const std::string& path,
                                     const SinkWriterAttributes& attributes,
                                     std::unique_ptr<SinkWriter>* writer);

    // H.264 video or AAC audio, before BeginWriting.
    ResultCode AddStream(const MediaType& output, uint32_t* streamIndex);
    // NV12, IYUV, YV12, YUY2, RGB32 or ARGB32 for video at the output's size and rate; 16-bit PCM
    // at the output's rate and channel count for audio.
    ResultCode SetInputMediaType(uint32_t streamIndex, const MediaType& input);
    // The video stream's encoder properties; kNoInterface for audio or once writing has begun.
    ResultCode GetCodecSettings(uint32_t streamIndex, CodecSettings** settings);
    // A file-level metadata entry ("encoder" is the writing application's tag).
    void SetFileTag(const std::string& key, const std::string& value);

    ResultCode BeginWriting();
    ResultCode WriteSample(uint32_t streamIndex, MediaSample sample);
    // Drains the encoders and completes the file; the first error of any stage.
    ResultCode Finalize();
    // Stops the stream encoders and removes the file instead of completing it.
    void Abandon();

    const std::string& Path() const { return m_path; }
    // The encoder a video stream opened; empty before BeginWriting or for an audio stream.
    std::string VideoEncoderName(uint32_t streamIndex);

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
};

}  // namespace tamro::platform::media
