#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/media/DeviceManager.h"
#include "platform/media/MediaSample.h"
#include "platform/media/MediaTypes.h"

namespace tamro::platform::media {

struct SinkWriterAttributes {
    bool enableHardwareTransforms = false;
    // Writes never wait for an encoder: a stream whose queue is full refuses the sample.
    bool disableThrottling = false;
    // Set only when a hardware encoder that takes this device was found.
    std::shared_ptr<DeviceManager> deviceManager;
    // The H.264 encoder the video stream opens; libx264 when empty or when it does not open.
    std::string videoEncoderName;
    // Counts every packet written to the file, the rewrite of Finalize included, so that a
    // waiter can tell a slow finalisation from a stuck one. Outlives the sink.
    std::atomic<int64_t>* progress = nullptr;
};

// A media file being written: an H.264 video stream and an AAC audio stream. Streams are declared
// (output type, then input type and codec settings), then writing begins; Finalize completes the
// file. A sink that never began writing removes its file.
// Threading: configuration, BeginWriting and Finalize from one control thread. WriteSample may run
// for different streams concurrently (one thread per stream), never concurrently with Finalize.
class MediaSink {
  public:
    virtual ~MediaSink() = default;

    // H.264 video or AAC audio, before BeginWriting.
    virtual ResultCode AddStream(const MediaType& output, uint32_t* streamIndex) = 0;
    // NV12, IYUV, YV12, YUY2, RGB32 or ARGB32 for video at the output's size and rate; 16-bit PCM
    // at the output's rate and channel count for audio.
    virtual ResultCode SetInputMediaType(uint32_t streamIndex, const MediaType& input) = 0;
    // The video stream's encoder properties; kNoInterface for audio or once writing has begun.
    virtual ResultCode GetCodecSettings(uint32_t streamIndex, CodecSettings** settings) = 0;
    // A file-level metadata entry ("encoder" is the writing application's tag).
    virtual void SetFileTag(const std::string& key, const std::string& value) = 0;

    virtual ResultCode BeginWriting() = 0;
    virtual ResultCode WriteSample(uint32_t streamIndex, MediaSample sample) = 0;
    // Drains the encoders and completes the file; the first error of any stage.
    virtual ResultCode Finalize() = 0;
    // Stops the stream encoders and removes the file instead of completing it.
    virtual void Abandon() = 0;

    // The first failure writing the file ("disk full"), in a few words; empty while there is none.
    // Any thread.
    virtual std::string WriteFailure() const = 0;

    virtual const std::string& Path() const = 0;
    // The encoder a video stream opened; empty before BeginWriting or for an audio stream.
    virtual std::string VideoEncoderName(uint32_t streamIndex) = 0;
};

// An MP4 file at `path` (the container follows from the extension), created at once.
ResultCode CreateMediaSink(const std::string& path, const SinkWriterAttributes& attributes,
                           std::unique_ptr<MediaSink>* sink);

}  // namespace tamro::platform::media
