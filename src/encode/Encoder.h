#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "encode/ColorConverter.h"
#include "encode/EncoderDevice.h"
#include "encode/GpuScaler.h"
#include "encode/IEncoder.h"
#include "platform/gfx/Device.h"
#include "platform/media/EncoderList.h"
#include "platform/media/MediaSink.h"
#include "platform/media/MediaTypes.h"

namespace tamro {

// Writes one recording's MP4: an H.264 stream in the format discovery chose (process-wide cache)
// and optionally an AAC stream. Frames of the output size are converted to NV12 on the device and
// read back once; other sizes are scaled on the device first; anything the device cannot do goes
// through a CPU readback and conversion.
//
// Threading: SetD3DDevice, Initialize and Finalize run on the recorder's control thread.
// WriteVideoFrame (capture or pacer thread, one at a time) and WriteAudioSample (audio output
// thread) run concurrently with each other; the sample writes hold the video or the audio lock,
// and Finalize holds both, so no write is in progress while the file is closed. The device work
// of WriteVideoFrame runs outside the video lock.
class Encoder final : public IEncoder {
  public:
    Encoder();
    // With another machine's encoders, for tests.
    explicit Encoder(std::shared_ptr<const platform::media::EncoderList> encoders);
    ~Encoder() override;

    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Fills the process-wide format cache ahead of the first recording.
    static void PreWarm();
    static void PreWarm(const platform::media::EncoderList& encoders);

    void SetD3DDevice(gfx::Device* device) override;
    bool Initialize(const EncoderSettings& settings) override;
    void Finalize() override;
    void Abandon() override;
    std::string WriteFailure() const override;
    int64_t WriteProgress() const override { return m_writeProgress.load(); }

    bool WriteVideoFrame(gfx::Texture* texture, int64_t timestamp) override;
    // An NV12 image of the output size whose rows are `rowPitch` bytes apart; chroma rows follow
    // height x rowPitch bytes in.
    bool WriteNV12Frame(const uint8_t* data, uint32_t rowPitch, int64_t timestamp);
    bool WriteCPUFrame(const uint8_t* bgra, uint32_t width, uint32_t height, uint32_t rowPitch,
                       int64_t timestamp);
    void WriteAudioSample(const uint8_t* pcm, uint32_t bytes, int64_t timestamp,
                          int64_t duration) override;

    uint32_t Width() const { return m_width; }
    uint32_t Height() const { return m_height; }
    const platform::media::Guid& InputSubtype() const { return m_inputSubtype; }
    // 0 High, 1 Main, 2 Baseline: the profile the stream was declared with.
    uint32_t EffectiveProfile() const { return m_effectiveProfile; }
    uint64_t VideoFramesWritten() const { return m_videoFramesWritten.load(); }
    uint64_t AudioSamplesWritten() const { return m_audioSamplesWritten.load(); }
    bool HasGpuColorConverter() const { return m_gpuColorConv; }
    bool UsesDeviceManager() const { return m_usesDeviceManager; }
    // The H.264 encoder the video stream runs on, once initialised.
    const std::string& VideoEncoderName() const { return m_videoEncoderName; }

  private:
    bool ValidateSettings(const EncoderSettings& settings) const;
    void StoreSettings(const EncoderSettings& settings);
    platform::media::SinkWriterAttributes WriterAttributes();
    std::string ChooseVideoEncoder() const;
    void LogVideoEncoder(const std::string& chosen);
    void TagFile();
    platform::media::MediaType VideoOutputType(uint32_t videoBitrate);
    platform::media::MediaType VideoInputType() const;
    void ApplyCodecSettings();
    bool AddVideoStream(uint32_t videoBitrate);
    void AddAudioStream(const EncoderSettings& settings);
    bool FailInitialize(const char* line, ResultCode result);
    void CreateColorConverter();

    bool IsWriting() const { return m_initialized.load() && !m_finalized.load(); }
    bool AdoptDevice();
    bool WriteThroughConverter(gfx::Texture* texture, int64_t timestamp);
    bool WriteFrameOnDevice(gfx::Texture* texture, int64_t timestamp);
    bool WriteScaled(gfx::Texture* scaled, int64_t timestamp);
    bool WriteStagingCopy(gfx::Texture* texture, int64_t timestamp);
    bool WriteThroughCpu(gfx::Texture* texture, int64_t timestamp);
    bool EnsureStagingTexture(uint32_t width, uint32_t height);
    bool WriteVideoSample(platform::media::MediaSample sample, int64_t timestamp,
                          const char* failureLine);
    bool WriteRepeat(int64_t timestamp);
    // After a refused sample, under that stream's lock.
    void NoteWriteFailure();

    std::shared_ptr<const platform::media::EncoderList> m_encoders;
    std::unique_ptr<platform::media::MediaSink> m_sinkWriter;
    // Frames waiting in the writer's queue hold a few buffers; the rest come back for reuse.
    const std::shared_ptr<platform::media::SamplePool> m_videoSamples =
        platform::media::SamplePool::Create(8);
    uint32_t m_videoStreamIndex = 0;
    uint32_t m_audioStreamIndex = 0;
    bool m_hasAudioStream = false;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    uint32_t m_fps = 30;
    int64_t m_frameDuration = 0;
    platform::media::Guid m_inputSubtype;
    size_t m_frameBufferBytes = 0;
    std::atomic<uint64_t> m_videoFramesWritten{0};
    std::atomic<uint64_t> m_audioSamplesWritten{0};
    std::atomic<bool> m_initialized{false};
    std::atomic<bool> m_finalized{false};
    std::atomic<int64_t> m_writeProgress{0};  // the sink's, which it outlives
    bool m_hasAudio = false;
    bool m_capsLogged = false;
    uint64_t m_lastContent = 0;  // the picture written last, 0 when unknown; frame thread only
    std::mutex m_videoMutex;
    std::mutex m_audioMutex;
    mutable std::mutex m_failureMutex;
    std::string m_writeFailure;  // under m_failureMutex
    gfx::Device* m_device = nullptr;
    // A device of the encoder's own, taken when frames arrive before any was set.
    std::shared_ptr<gfx::Device> m_ownDevice;
    std::shared_ptr<gfx::Texture> m_stagingTexture;
    uint32_t m_stagingWidth = 0;
    uint32_t m_stagingHeight = 0;
    GpuScaler m_scaler;
    std::unique_ptr<ColorConverter> m_colorConverter;
    bool m_gpuColorConv = false;
    std::unique_ptr<EncoderDevice> m_encoderDevice;
    bool m_usesDeviceManager = false;
    std::string m_videoEncoderName;
    bool m_zeroCopy = false;
    uint32_t m_profile = 1;
    uint32_t m_effectiveProfile = 1;
    uint32_t m_qualityVsSpeed = 50;
    bool m_cabac = true;
    uint32_t m_bFrames = 0;
    uint32_t m_keyframeIntervalSeconds = 1;
};

}  // namespace tamro
