#include "encode/Encoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <vector>

#include "diag/Log.h"
#include "diag/PerfLog.h"
#include "diag/RateLimit.h"
#include "encode/CpuFrameConverter.h"
#include "encode/EncoderFormatCache.h"
#include "platform/media/MediaPlatform.h"
#include "platform/system/SteadyClock.h"

namespace tamro {

namespace media = platform::media;

namespace {

constexpr const char* kWriterTag = "Tamro (0.0.3)";
// Larger than any texture the device creates; also catches negative sizes passed as unsigned.
constexpr uint32_t kMaxDimension = 16384;
// The smallest even size; libx264 takes it, and a hardware encoder that does not falls back to it.
constexpr uint32_t kMinDimension = 2;
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kSlowScaleMs = 21;

bool HasMp4Extension(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".mp4";
}

bool OutputFolderExists(const std::filesystem::path& path) {
    std::error_code error;
    const std::filesystem::path folder =
        path.has_parent_path() ? path.parent_path() : std::filesystem::current_path(error);
    return std::filesystem::is_directory(folder, error);
}

// The format cache keys discovery by the size rounded up to whole macroblocks.
uint32_t RoundUpTo16(uint32_t value) {
    return (value + 15) & ~15u;
}

// 4:2:0 needs even sizes; an odd size loses its last column or row.
uint32_t EvenDown(uint32_t value) {
    return value & ~1u;
}

// Candidates per requested profile: High falls back to Main, then Baseline.
std::array<uint32_t, 3> ProfileCandidates(uint32_t profile) {
    switch (profile) {
        case 0:
            return {media::kProfileHigh, media::kProfileMain, media::kProfileBaseline};
        case 1:
            return {media::kProfileMain, media::kProfileBaseline, 0};
        default:
            return {media::kProfileBaseline, 0, 0};
    }
}

uint32_t EffectiveProfileOf(uint32_t declared) {
    return declared == media::kProfileHigh ? 0 : declared == media::kProfileMain ? 1 : 2;
}

int64_t ElapsedMs(int64_t startNs) {
    return (platform::SteadyClockNs() - startNs) / 1'000'000;
}

// Process-wide gates of the frame paths' repeating lines.
FirstOnly g_cpuFallbackLine;
EveryNth g_slowScaleLine(30);
EveryNth g_stageTimeLine(300);

}  // namespace

Encoder::Encoder() : Encoder(media::EncoderList::CreateDefault()) {}

Encoder::Encoder(std::shared_ptr<const media::EncoderList> encoders)
    : m_encoders(std::move(encoders)) {
    if (Failed(media::StartMediaPlatform()))
        LogLine("[Encoder] Failed to initialize Media Foundation\n");
}

Encoder::~Encoder() {
    Finalize();
}

void Encoder::PreWarm() {
    PreWarm(*media::EncoderList::CreateDefault());
}

void Encoder::PreWarm(const media::EncoderList& encoders) {
    EncoderFormatCache::PreWarm(encoders);
}

void Encoder::SetD3DDevice(gfx::Device* device) {
    if (!device) {
        LogLine("[Encoder] SetD3DDevice called with null device\n");
        return;
    }
    m_device = device;
    m_stagingTexture.reset();
    m_stagingWidth = m_stagingHeight = 0;
}

bool Encoder::ValidateSettings(const EncoderSettings& settings) const {
    if (settings.fps == 0 || EvenDown(settings.width) < kMinDimension ||
        EvenDown(settings.height) < kMinDimension || settings.width > kMaxDimension ||
        settings.height > kMaxDimension) {
        LogLine("[Encoder] Initialize failed: invalid output %dx%d @%ufps\n",
                static_cast<int32_t>(settings.width), static_cast<int32_t>(settings.height),
                settings.fps);
        return false;
    }
    const std::filesystem::path path(settings.path);
    if (!HasMp4Extension(path)) {
        LogLine("[Encoder] Initialize failed: output path is not an .mp4 file: \"%s\"\n",
                settings.path.c_str());
        return false;
    }
    if (!OutputFolderExists(path)) {
        LogLine("[Encoder] Initialize failed: output folder does not exist: \"%s\"\n",
                settings.path.c_str());
        return false;
    }
    return true;
}

void Encoder::StoreSettings(const EncoderSettings& settings) {
    m_profile = settings.profile;
    m_qualityVsSpeed = settings.qualityVsSpeed;
    m_cabac = settings.cabac;
    m_bFrames = settings.bFrames;
    m_keyframeIntervalSeconds = settings.keyframeIntervalSeconds;
    m_width = EvenDown(settings.width);
    m_height = EvenDown(settings.height);
    m_fps = settings.fps;
    m_frameDuration = kTicksPerSecond / m_fps;
    m_hasAudio = settings.hasAudio;
}

media::SinkWriterAttributes Encoder::WriterAttributes() {
    media::SinkWriterAttributes attributes{.enableHardwareTransforms = true,
                                           .disableThrottling = true,
                                           .deviceManager = nullptr,
                                           .videoEncoderName = {},
                                           .progress = &m_writeProgress};
    m_usesDeviceManager = false;
    if (!m_device) {
        LogLine(
            "[Encoder] No D3D device at sink-writer creation â€” hardware encoding DISABLED "
            "(SetD3DDevice not called before Initialize)\n");
        return attributes;
    }
    m_encoderDevice = std::make_unique<EncoderDevice>();
    if (m_encoderDevice->Initialize(m_device, *m_encoders) &&
        m_encoderDevice->HasHardwareEncoder()) {
        attributes.deviceManager = m_encoderDevice->DeviceManager();
        m_usesDeviceManager = true;
    } else {
        LogLine("[Encoder] No hardware encoder available, using CPU path\n");
        m_encoderDevice.reset();
    }
    return attributes;
}

std::string Encoder::ChooseVideoEncoder() const {
    std::string name = EncoderFormatCache::EncoderName();
    if (!name.empty())
        return name;
    // The format came from the cache file, which keeps no name: discovery would have tried the
    // hardware encoders first, so the first one listed is taken, and libx264 if it does not open.
    std::vector<std::unique_ptr<media::EncoderActivation>> hardware;
    if (Succeeded(
            m_encoders->Enumerate(media::kEnumHardware | media::kEnumSortAndFilter, &hardware)) &&
        !hardware.empty()) {
        name = hardware.front()->FriendlyName().value_or("");
    }
    return name;
}

void Encoder::LogVideoEncoder(const std::string& chosen) {
    m_videoEncoderName = m_sinkWriter->VideoEncoderName(m_videoStreamIndex);
    if (!chosen.empty() && chosen != m_videoEncoderName) {
        LogLine("[Encoder] Video encoder: %s (%s did not open at %ux%u)\n",
                m_videoEncoderName.c_str(), chosen.c_str(), m_width, m_height);
    } else {
        LogLine("[Encoder] Video encoder: %s\n", m_videoEncoderName.c_str());
    }
}

void Encoder::TagFile() {
    std::string tag = kWriterTag;
    const std::string name = EncoderFormatCache::EncoderName();
    if (!name.empty())
        tag += " - " + name;
    m_sinkWriter->SetFileTag("encoder", tag);
}

media::MediaType Encoder::VideoInputType() const {
    return media::MediaType{.major = media::MajorType::kVideo,
                            .subtype = m_inputSubtype,
                            .width = m_width,
                            .height = m_height,
                            .frameRateNumerator = m_fps,
                            .frameRateDenominator = 1,
                            .interlaceMode = media::kInterlaceProgressive,
                            .pixelAspectNumerator = 1,
                            .pixelAspectDenominator = 1,
                            .yuvMatrix = media::kYuvMatrixBT709,
                            .videoPrimaries = media::kPrimariesBT709,
                            .transferFunction = media::kTransferBT709};
}

media::MediaType Encoder::VideoOutputType(uint32_t videoBitrate) {
    media::MediaType type = VideoInputType();
    type.subtype = media::kSubtypeH264;
    type.averageBitrate = videoBitrate;
    uint32_t declared = 0;
    for (const uint32_t candidate : ProfileCandidates(m_profile)) {
        if (candidate != 0 && Succeeded(type.SetProfile(candidate))) {
            declared = candidate;
            break;
        }
    }
    m_effectiveProfile = EffectiveProfileOf(declared);
    return type;
}

void Encoder::ApplyCodecSettings() {
    media::CodecSettings* codec = nullptr;
    if (Failed(m_sinkWriter->GetCodecSettings(m_videoStreamIndex, &codec)))
        return;
    codec->qualityVsSpeed = m_qualityVsSpeed;
    // Set either way: left unset, the encoder's default (CABAC) would ignore a request for CAVLC.
    codec->cabacEnable = m_cabac;
    codec->bPictureCount = m_bFrames;
    codec->gopSize = m_keyframeIntervalSeconds * m_fps;
}

bool Encoder::AddVideoStream(uint32_t videoBitrate) {
    const ResultCode added =
        m_sinkWriter->AddStream(VideoOutputType(videoBitrate), &m_videoStreamIndex);
    if (Failed(added))
        return FailInitialize("[Encoder] Failed to add video stream: 0x%08X\n", added);
    // Baseline streams keep the encoder's defaults entirely.
    if (m_effectiveProfile != 2)
        ApplyCodecSettings();
    const ResultCode input = m_sinkWriter->SetInputMediaType(m_videoStreamIndex, VideoInputType());
    if (Failed(input))
        return FailInitialize("[Encoder] Failed to set video input type: 0x%08X\n", input);
    return true;
}

void Encoder::AddAudioStream(const EncoderSettings& settings) {
    const media::MediaType output{.major = media::MajorType::kAudio,
                                  .subtype = media::kSubtypeAAC,
                                  .channels = settings.audioChannels,
                                  .samplesPerSecond = settings.audioSampleRate,
                                  .bitsPerSample = 16,
                                  .averageBytesPerSecond = settings.audioBitrate >> 3};
    if (Failed(m_sinkWriter->AddStream(output, &m_audioStreamIndex)))
        return;
    m_hasAudioStream = true;
    const media::MediaType input{
        .major = media::MajorType::kAudio,
        .subtype = media::kSubtypePCM,
        .channels = settings.audioChannels,
        .samplesPerSecond = settings.audioSampleRate,
        .bitsPerSample = 16,
        .blockAlignment = settings.audioChannels * 2,
        .averageBytesPerSecond = settings.audioSampleRate * settings.audioChannels * 2};
    const ResultCode set = m_sinkWriter->SetInputMediaType(m_audioStreamIndex, input);
    if (Failed(set)) {
        LogLine("[Encoder] Warning: Failed to set audio input type: 0x%08X\n",
                static_cast<uint32_t>(set));
    }
}

bool Encoder::FailInitialize(const char* line, ResultCode result) {
    LogLine(line, static_cast<uint32_t>(result));
    // A writer that never began writing removes its file.
    m_sinkWriter.reset();
    m_hasAudioStream = false;
    return false;
}

void Encoder::CreateColorConverter() {
    auto converter = std::make_unique<ColorConverter>();
    if (converter->Initialize(m_device, m_width, m_height)) {
        m_colorConverter = std::move(converter);
        m_gpuColorConv = true;
    }
}

bool Encoder::Initialize(const EncoderSettings& settings) {
    if (m_initialized.load() || m_sinkWriter)
        return false;
    if (!ValidateSettings(settings))
        return false;
    StoreSettings(settings);
    if (!EncoderFormatCache::SelectInputSubtype(*m_encoders, RoundUpTo16(m_width),
                                                RoundUpTo16(m_height), m_fps, &m_inputSubtype)) {
        LogLine("[Encoder] Failed to find compatible encoder\n");
        return false;
    }
    m_frameBufferBytes = CpuFrameConverter::FrameBytes(m_inputSubtype, m_width, m_height);
    media::SinkWriterAttributes attributes = WriterAttributes();
    attributes.videoEncoderName = ChooseVideoEncoder();
    PerfLog::Write("[PERF][Encode] %ux%u @%ufps bitrate=%.1fMbps hwD3DManager=%s\n", settings.width,
                   settings.height, settings.fps,
                   static_cast<double>(settings.videoBitrate) / 1'000'000.0,
                   m_usesDeviceManager ? "YES" : "NO(software-path likely)");
    const ResultCode created = media::CreateMediaSink(settings.path, attributes, &m_sinkWriter);
    if (Failed(created)) {
        LogLine("[Encoder] Failed to create sink writer: 0x%08X\n", static_cast<uint32_t>(created));
        return false;
    }
    TagFile();
    if (!AddVideoStream(settings.videoBitrate))
        return false;
    if (m_hasAudio)
        AddAudioStream(settings);
    const ResultCode began = m_sinkWriter->BeginWriting();
    if (Failed(began))
        return FailInitialize("[Encoder] Failed to begin writing: 0x%08X\n", began);
    LogVideoEncoder(attributes.videoEncoderName);
    m_videoFramesWritten = 0;
    m_audioSamplesWritten = 0;
    m_initialized = true;
    if (m_device && m_inputSubtype == media::kSubtypeNV12)
        CreateColorConverter();
    m_zeroCopy = false;
    return true;
}

void Encoder::Finalize() {
    if (!m_initialized.load() || m_finalized.load())
        return;
    std::scoped_lock lock(m_videoMutex, m_audioMutex);
    if (m_sinkWriter) {
        const ResultCode result = m_sinkWriter->Finalize();
        if (Failed(result))
            LogLine("[Encoder] Finalize failed: 0x%08X\n", static_cast<uint32_t>(result));
        m_sinkWriter.reset();
    }
    m_finalized = true;
}

void Encoder::Abandon() {
    if (!m_initialized.load() || m_finalized.load())
        return;
    std::scoped_lock lock(m_videoMutex, m_audioMutex);
    if (m_sinkWriter) {
        m_sinkWriter->Abandon();
        m_sinkWriter.reset();
    }
    m_finalized = true;
}

bool Encoder::AdoptDevice() {
    if (!m_device) {
        // The frame's memory is readable by any device of this platform, so a device of the
        // encoder's own stands in for the frame's.
        m_ownDevice = gfx::Device::Create(gfx::DriverType::kHardware);
        if (!m_ownDevice) {
            LogLine("[Encoder] GetDevice returned null\n");
            return false;
        }
        m_device = m_ownDevice.get();
    }
    if (!m_gpuColorConv && m_inputSubtype == media::kSubtypeNV12)
        CreateColorConverter();
    return true;
}

bool Encoder::WriteVideoFrame(gfx::Texture* texture, int64_t timestamp) {
    if (!IsWriting() || !texture)
        return false;
    try {
        // The picture written last, again: the writer repeats it without a conversion or copy.
        const uint64_t content = texture->ContentId();
        if (content != 0 && content == m_lastContent)
            return WriteRepeat(timestamp);
        const bool written = WriteFrameOnDevice(texture, timestamp);
        m_lastContent = written ? content : 0;
        return written;
    } catch (const gfx::DeviceFault& fault) {
        LogLine("[Encoder] SEH EXCEPTION in WriteVideoFrame: %s\n", fault.what());
        return false;
    }
}

bool Encoder::WriteFrameOnDevice(gfx::Texture* texture, int64_t timestamp) {
    const uint32_t inWidth = texture->Width();
    const uint32_t inHeight = texture->Height();
    if (!AdoptDevice())
        return false;
    if (!m_capsLogged) {
        m_capsLogged = true;
        PerfLog::Write(
            "[PERF][Encode] video path caps: zeroCopy=%d gpuColorConv=%d inputNV12=%d "
            "input=%ux%u out=%ux%u\n",
            m_zeroCopy ? 1 : 0, m_gpuColorConv ? 1 : 0,
            m_inputSubtype == media::kSubtypeNV12 ? 1 : 0, inWidth, inHeight, m_width, m_height);
    }
    if (m_gpuColorConv && m_colorConverter->Accepts(inWidth, inHeight) &&
        WriteThroughConverter(texture, timestamp))
        return true;
    if (inWidth != m_width || inHeight != m_height) {
        if (!m_scaler.IsReady() || inWidth > m_scaler.InputWidth() ||
            inHeight > m_scaler.InputHeight()) {
            m_scaler.Initialize(m_device, inWidth, inHeight, m_width, m_height);
        }
        const int64_t start = platform::SteadyClockNs();
        const bool scaled = m_scaler.Scale(texture);
        const int64_t scaleMs = ElapsedMs(start);
        if (scaleMs >= kSlowScaleMs && g_slowScaleLine())
            PerfLog::Write("[PERF][Encode] slow ScaleWithGPU=%lldms\n",
                           static_cast<long long>(scaleMs));
        if (scaled)
            return WriteScaled(m_scaler.ScaledTexture(), timestamp);
    }
    return WriteThroughCpu(texture, timestamp);
}

bool Encoder::WriteThroughConverter(gfx::Texture* texture, int64_t timestamp) {
    gfx::Texture* image = nullptr;
    if (!m_colorConverter->Convert(texture, &image))
        return false;
    gfx::DeviceContext& context = m_device->ImmediateContext();
    gfx::MappedSubresource mapped;
    if (Failed(context.Map(image, gfx::MapType::kRead, &mapped)))
        return false;
    const bool written = WriteNV12Frame(mapped.data, mapped.rowPitch, timestamp);
    context.Unmap(image);
    return written;
}

bool Encoder::WriteScaled(gfx::Texture* scaled, int64_t timestamp) {
    if (m_gpuColorConv) {
        const int64_t convertStart = platform::SteadyClockNs();
        gfx::Texture* image = nullptr;
        gfx::MappedSubresource mapped;
        gfx::DeviceContext& context = m_device->ImmediateContext();
        if (m_colorConverter->Convert(scaled, &image)) {
            const int64_t convertMs = ElapsedMs(convertStart);
            const int64_t mapStart = platform::SteadyClockNs();
            if (Succeeded(context.Map(image, gfx::MapType::kRead, &mapped))) {
                const int64_t mapMs = ElapsedMs(mapStart);
                const int64_t writeStart = platform::SteadyClockNs();
                const bool written = WriteNV12Frame(mapped.data, mapped.rowPitch, timestamp);
                context.Unmap(image);
                if (g_stageTimeLine()) {
                    PerfLog::Write(
                        "[PERF][Encode] stage times: convert=%lldms map=%lldms "
                        "writeSample=%lldms\n",
                        static_cast<long long>(convertMs), static_cast<long long>(mapMs),
                        static_cast<long long>(ElapsedMs(writeStart)));
                }
                if (written)
                    return true;
            }
        }
    }
    return WriteStagingCopy(scaled, timestamp);
}

bool Encoder::WriteStagingCopy(gfx::Texture* texture, int64_t timestamp) {
    if (!EnsureStagingTexture(texture->Width(), texture->Height()))
        return false;
    gfx::DeviceContext& context = m_device->ImmediateContext();
    if (Failed(context.CopyResource(m_stagingTexture.get(), texture)))
        return false;
    gfx::MappedSubresource mapped;
    if (Failed(context.Map(m_stagingTexture.get(), gfx::MapType::kRead, &mapped)))
        return false;
    const bool written =
        WriteCPUFrame(mapped.data, texture->Width(), texture->Height(), mapped.rowPitch, timestamp);
    context.Unmap(m_stagingTexture.get());
    return written;
}

bool Encoder::WriteThroughCpu(gfx::Texture* texture, int64_t timestamp) {
    if (g_cpuFallbackLine())
        LogLine("[Encoder] Active video path: CPU fallback/readback (may cause recording lag)\n");
    return WriteStagingCopy(texture, timestamp);
}

bool Encoder::EnsureStagingTexture(uint32_t width, uint32_t height) {
    if (m_stagingTexture && m_stagingWidth == width && m_stagingHeight == height)
        return true;
    if (!m_device) {
        LogLine("[Encoder] Cannot create staging texture - no device cached\n");
        return false;
    }
    const gfx::TextureDesc desc{.width = width,
                                .height = height,
                                .format = gfx::Format::kBGRA8,
                                .usage = gfx::Usage::kStaging,
                                .cpuAccessFlags = gfx::kCpuAccessRead};
    const int32_t created = m_device->CreateTexture(desc, nullptr, 0, &m_stagingTexture);
    if (Failed(created)) {
        LogLine("[Encoder] Failed to create staging texture: 0x%08X\n",
                static_cast<uint32_t>(created));
        m_stagingWidth = m_stagingHeight = 0;
        return false;
    }
    m_stagingWidth = width;
    m_stagingHeight = height;
    return true;
}

bool Encoder::WriteVideoSample(media::MediaSample sample, int64_t timestamp,
                               const char* failureLine) {
    sample.time = timestamp;
    sample.duration = m_frameDuration;
    const ResultCode written = m_sinkWriter->WriteSample(m_videoStreamIndex, std::move(sample));
    if (Failed(written)) {
        NoteWriteFailure();
        if (failureLine)
            LogLine(failureLine, static_cast<uint32_t>(written));
        return false;
    }
    m_videoFramesWritten.fetch_add(1);
    return true;
}

bool Encoder::WriteRepeat(int64_t timestamp) {
    std::lock_guard lock(m_videoMutex);
    if (!IsWriting() || !m_sinkWriter)
        return false;
    media::MediaSample sample;
    sample.repeatsPrevious = true;
    return WriteVideoSample(std::move(sample), timestamp, nullptr);
}

bool Encoder::WriteNV12Frame(const uint8_t* data, uint32_t rowPitch, int64_t timestamp) {
    if (!data || rowPitch < m_width)
        return false;
    std::lock_guard lock(m_videoMutex);
    if (!IsWriting() || !m_sinkWriter)
        return false;
    const size_t bytes = static_cast<size_t>(m_width) * m_height * 3 / 2;
    media::MediaSample sample = m_videoSamples->Take(bytes);
    if (!sample.data) {
        LogLine("[Encoder] Failed to create NV12 buffer: 0x%08X\n",
                static_cast<uint32_t>(kOutOfMemory));
        return false;
    }
    if (rowPitch == m_width) {
        std::memcpy(sample.data.get(), data, bytes);
    } else {
        // Luma rows, then the half-height chroma rows, packed at width spacing.
        for (uint32_t row = 0; row < m_height + m_height / 2; ++row) {
            std::memcpy(sample.data.get() + static_cast<size_t>(row) * m_width,
                        data + static_cast<size_t>(row) * rowPitch, m_width);
        }
    }
    sample.length = bytes;
    return WriteVideoSample(std::move(sample), timestamp,
                            "[Encoder] WriteNV12Frame failed: 0x%08X\n");
}

bool Encoder::WriteCPUFrame(const uint8_t* bgra, uint32_t width, uint32_t height, uint32_t rowPitch,
                            int64_t timestamp) {
    if (!bgra)
        return false;
    std::lock_guard lock(m_videoMutex);
    if (!IsWriting() || !m_sinkWriter)
        return false;
    media::MediaSample sample = m_videoSamples->Take(m_frameBufferBytes);
    if (!sample.data) {
        LogLine("[Encoder] Failed to create video buffer\n");
        return false;
    }
    if (!CpuFrameConverter::Convert(bgra, width, height, rowPitch, m_inputSubtype, m_width,
                                    m_height, sample.data.get())) {
        return false;
    }
    sample.length = m_frameBufferBytes;
    return WriteVideoSample(std::move(sample), timestamp, nullptr);
}

void Encoder::WriteAudioSample(const uint8_t* pcm, uint32_t bytes, int64_t timestamp,
                               int64_t duration) {
    if (!pcm || bytes == 0)
        return;
    std::lock_guard lock(m_audioMutex);
    if (!IsWriting() || !m_hasAudio || !m_hasAudioStream || !m_sinkWriter)
        return;
    media::MediaSample sample = media::MediaSample::WithCapacity(bytes);
    if (!sample.data)
        return;
    std::memcpy(sample.data.get(), pcm, bytes);
    sample.length = bytes;
    sample.time = timestamp;
    sample.duration = duration;
    if (Succeeded(m_sinkWriter->WriteSample(m_audioStreamIndex, std::move(sample))))
        m_audioSamplesWritten.fetch_add(1);
    else
        NoteWriteFailure();
}

void Encoder::NoteWriteFailure() {
    std::string failure = m_sinkWriter->WriteFailure();
    std::lock_guard lock(m_failureMutex);
    if (m_writeFailure.empty())
        m_writeFailure = std::move(failure);
}

std::string Encoder::WriteFailure() const {
    std::lock_guard lock(m_failureMutex);
    return m_writeFailure;
}

}  // namespace tamro
