#include "platform/media/SinkWriter.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "diag/Log.h"
#include "platform/media/AudioStreamEncoder.h"
#include "platform/media/IndexAtFront.h"
#include "platform/media/VideoStreamEncoder.h"

namespace tamro::platform::media {
namespace {

// Enough to ride out a slow encoder moment without holding unbounded memory: video by bytes
// (about a second of 1080p NV12), audio a few seconds of blocks.
constexpr size_t kVideoQueueBytes = 96u << 20;
constexpr size_t kMinVideoQueueFrames = 8;
constexpr size_t kMaxVideoQueueFrames = 4096;
constexpr size_t kAudioQueueBlocks = 256;
constexpr int64_t kFragmentMicroseconds = 500'000;

size_t VideoQueueFrames(const MediaType& output) {
    const size_t frameBytes = static_cast<size_t>(output.width) * output.height * 3 / 2;
    return std::clamp(kVideoQueueBytes / std::max<size_t>(frameBytes, 1), kMinVideoQueueFrames,
                      kMaxVideoQueueFrames);
}
// A thousand ticks a frame: every frame of the constant-rate stream falls on a whole tick.
AVRational VideoStreamTimeBase(const MediaType& output) {
    return {static_cast<int>(output.frameRateDenominator),
            static_cast<int>(output.frameRateNumerator) * 1000};
}

bool HasMp4Extension(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".mp4";
}

bool ValidVideoOutput(const MediaType& type) {
    return type.subtype == kSubtypeH264 && type.width > 0 && type.height > 0 &&
           type.width % 2 == 0 && type.height % 2 == 0 && type.width <= 16384 &&
           type.height <= 16384 && type.frameRateNumerator > 0 && type.frameRateDenominator > 0;
}

bool ValidAudioOutput(const MediaType& type) {
    return type.subtype == kSubtypeAAC && type.channels >= 1 && type.channels <= 8 &&
           type.samplesPerSecond >= 8000 && type.samplesPerSecond <= 96000 &&
           type.bitsPerSample == 16;
}

bool MatchesVideoOutput(const MediaType& input, const MediaType& output) {
    return input.major == MajorType::kVideo &&
           VideoStreamEncoder::IsSupportedInput(input.subtype) && input.width == output.width &&
           input.height == output.height && input.frameRateNumerator == output.frameRateNumerator &&
           input.frameRateDenominator == output.frameRateDenominator;
}

bool MatchesAudioOutput(const MediaType& input, const MediaType& output) {
    return input.major == MajorType::kAudio && input.subtype == kSubtypePCM &&
           input.bitsPerSample == 16 && input.channels == output.channels &&
           input.samplesPerSecond == output.samplesPerSecond &&
           input.blockAlignment == input.channels * 2;
}

}  // namespace

SinkWriter::SinkWriter(Key, std::string path, OutputFormatPtr format,
                       SinkWriterAttributes attributes)
    : m_path(std::move(path)), m_format(std::move(format)), m_attributes(std::move(attributes)) {}

SinkWriter::~SinkWriter() {
    if (m_state.load() == State::kWriting)
        Finalize();
    if (m_state.load() == State::kConfiguring)
        RemoveFile();
}

ResultCode SinkWriter::CreateFromPath(const std::string& path,
                                      const SinkWriterAttributes& attributes,
                                      std::unique_ptr<SinkWriter>* writer) {
    if (!writer)
        return kPointer;
    writer->reset();
    if (path.empty())
        return kInvalidArg;
    if (!HasMp4Extension(path))
        return kUnsupportedByteStreamType;
    QuietFfmpegLogging();
    AVFormatContext* created = nullptr;
    if (avformat_alloc_output_context2(&created, nullptr, "mp4", path.c_str()) < 0 || !created)
        return kOutOfMemory;
    OutputFormatPtr format(created);
    const int opened = avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (opened < 0)
        return ResultFromAvError(opened);
    *writer = std::make_unique<SinkWriter>(Key(), path, std::move(format), attributes);
    return kOk;
}

SinkWriter::Stream* SinkWriter::FindStream(uint32_t streamIndex) {
    return streamIndex < m_streams.size() ? &m_streams[streamIndex] : nullptr;
}

ResultCode SinkWriter::AddStream(const MediaType& output, uint32_t* streamIndex) {
    if (!streamIndex)
        return kPointer;
    if (m_state.load() != State::kConfiguring)
        return kInvalidRequest;
    const bool valid = output.major == MajorType::kVideo   ? ValidVideoOutput(output)
                       : output.major == MajorType::kAudio ? ValidAudioOutput(output)
                                                           : false;
    if (!valid)
        return kInvalidMediaType;
    Stream stream;
    stream.output = output;
    m_streams.push_back(std::move(stream));
    *streamIndex = static_cast<uint32_t>(m_streams.size() - 1);
    return kOk;
}

ResultCode SinkWriter::SetInputMediaType(uint32_t streamIndex, const MediaType& input) {
    Stream* stream = FindStream(streamIndex);
    if (!stream)
        return kInvalidStreamNumber;
    if (m_state.load() != State::kConfiguring)
        return kInvalidRequest;
    const bool matches = stream->output.major == MajorType::kVideo
                             ? MatchesVideoOutput(input, stream->output)
                             : MatchesAudioOutput(input, stream->output);
    if (!matches)
        return kInvalidMediaType;
    stream->input = input;
    return kOk;
}

ResultCode SinkWriter::GetCodecSettings(uint32_t streamIndex, CodecSettings** settings) {
    if (!settings)
        return kPointer;
    Stream* stream = FindStream(streamIndex);
    if (!stream)
        return kInvalidStreamNumber;
    if (stream->output.major != MajorType::kVideo || m_state.load() != State::kConfiguring)
        return kNoInterface;
    *settings = &stream->settings;
    return kOk;
}

void SinkWriter::SetFileTag(const std::string& key, const std::string& value) {
    // The MP4 muxer writes its own name as "encoder"; the writing tool's entry, which readers
    // show as "encoder", goes by another key.
    const std::string stored = key == "encoder" ? "encoding_tool" : key;
    av_dict_set(&m_format->metadata, stored.c_str(), value.c_str(), 0);
}

ResultCode SinkWriter::CreateEncoder(Stream& stream) {
    const bool globalHeader = (m_format->oformat->flags & AVFMT_GLOBALHEADER) != 0;
    const bool wait = !m_attributes.disableThrottling;
    ResultCode result = kOk;
    if (stream.output.major == MajorType::kVideo) {
        std::unique_ptr<VideoStreamEncoder> video;
        result = VideoStreamEncoder::Create({.output = stream.output,
                                             .input = *stream.input,
                                             .settings = stream.settings,
                                             .encoderName = m_attributes.videoEncoderName,
                                             .globalHeader = globalHeader,
                                             .queueCapacity = VideoQueueFrames(stream.output),
                                             .waitWhenFull = wait},
                                            &video);
        if (video)
            stream.encoderName = video->EncoderName();
        stream.encoder = std::move(video);
    } else {
        std::unique_ptr<AudioStreamEncoder> audio;
        result = AudioStreamEncoder::Create({.output = stream.output,
                                             .input = *stream.input,
                                             .globalHeader = globalHeader,
                                             .queueCapacity = kAudioQueueBlocks,
                                             .waitWhenFull = wait},
                                            &audio);
        stream.encoder = std::move(audio);
    }
    if (Failed(result))
        return result;
    stream.avStream = avformat_new_stream(m_format.get(), nullptr);
    if (!stream.avStream)
        return kOutOfMemory;
    const AVCodecContext* context = stream.encoder->Context();
    if (avcodec_parameters_from_context(stream.avStream->codecpar, context) < 0)
        return kOutOfMemory;
    stream.avStream->time_base = stream.output.major == MajorType::kVideo
                                     ? VideoStreamTimeBase(stream.output)
                                     : context->time_base;
    if (stream.output.major == MajorType::kVideo)
        stream.avStream->avg_frame_rate = context->framerate;
    return kOk;
}

std::string SinkWriter::VideoEncoderName(uint32_t streamIndex) {
    const Stream* stream = FindStream(streamIndex);
    return stream ? stream->encoderName : std::string();
}

ResultCode SinkWriter::BeginWriting() {
    if (m_state.load() != State::kConfiguring || m_streams.empty())
        return kInvalidRequest;
    for (Stream& stream : m_streams) {
        if (!stream.input)
            return kInvalidRequest;
    }
    for (Stream& stream : m_streams) {
        if (const ResultCode result = CreateEncoder(stream); Failed(result))
            return result;
    }
    // Fragments of half a second behind an empty index: a crash loses at most the last moments.
    // Finalize turns the file into a regular one.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+frag_keyframe+empty_moov+default_base_moof", 0);
    av_dict_set_int(&options, "frag_duration", kFragmentMicroseconds, 0);
    m_format->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    const int written = avformat_write_header(m_format.get(), &options);
    av_dict_free(&options);
    if (written < 0)
        return ResultFromAvError(written);
    for (Stream& stream : m_streams) {
        AVStream* avStream = stream.avStream;
        stream.encoder->Start([this, avStream](AVPacket* packet, AVRational timeBase) {
            return WritePacket(avStream, packet, timeBase);
        });
    }
    m_state.store(State::kWriting);
    return kOk;
}

ResultCode SinkWriter::WritePacket(AVStream* avStream, AVPacket* packet, AVRational timeBase) {
    av_packet_rescale_ts(packet, timeBase, avStream->time_base);
    packet->stream_index = avStream->index;
    std::lock_guard lock(m_muxMutex);
    const int written = av_interleaved_write_frame(m_format.get(), packet);
    if (written < 0) {
        int none = 0;
        if (m_writeError.compare_exchange_strong(none, written))
            LogLine("[SinkWriter] Writing %s failed: %s\n", m_path.c_str(), WriteFailure().c_str());
        return ResultFromAvError(written);
    }
    ++m_packetsWritten;
    m_completeBytes = avio_tell(m_format->pb);
    if (m_attributes.progress != nullptr)
        m_attributes.progress->fetch_add(1, std::memory_order_relaxed);
    return kOk;
}

ResultCode SinkWriter::WriteSample(uint32_t streamIndex, MediaSample sample) {
    if (m_state.load() != State::kWriting)
        return kNotInitialized;
    Stream* stream = FindStream(streamIndex);
    if (!stream)
        return kInvalidStreamNumber;
    const bool repeat = sample.repeatsPrevious && stream->output.major == MajorType::kVideo;
    if (!repeat && (!sample.data || sample.length == 0 || sample.length > sample.capacity))
        return kInvalidArg;
    return stream->encoder->Submit(std::move(sample));
}

ResultCode SinkWriter::Finalize() {
    if (m_state.load() != State::kWriting)
        return kInvalidRequest;
    m_state.store(State::kFinalized);
    ResultCode result = kOk;
    for (Stream& stream : m_streams) {
        const ResultCode drained = stream.encoder->Drain();
        if (Succeeded(result) && Failed(drained))
            result = drained;
    }
    std::lock_guard lock(m_muxMutex);
    const int trailer = av_write_trailer(m_format.get());
    if (Succeeded(result) && trailer < 0)
        result = ResultFromAvError(trailer);
    const int closed = avio_closep(&m_format->pb);
    if (Succeeded(result) && closed < 0)
        result = ResultFromAvError(closed);
    if (m_writeError.load() != 0) {
        // What a failed write left half-done goes: the file ends with its last whole fragment.
        std::error_code ignored;
        std::filesystem::resize_file(m_path, static_cast<uintmax_t>(m_completeBytes), ignored);
    } else if (Succeeded(result)) {
        if (const ResultCode moved =
                IndexAtFront::Apply(m_path, m_packetsWritten, m_attributes.progress);
            Failed(moved))
            LogLine(
                "[SinkWriter] The file keeps its fragments: rewriting it with its index at the "
                "front failed: 0x%08X\n",
                moved);
    }
    return result;
}

std::string SinkWriter::WriteFailure() const {
    const int error = m_writeError.load();
    switch (error) {
        case 0:
            return {};
        case AVERROR(ENOSPC):
            return "disk full";
        case AVERROR(EDQUOT):
            return "disk quota exceeded";
        case AVERROR(EFBIG):
            return "file too large for its file system";
        default: {
            char text[AV_ERROR_MAX_STRING_SIZE] = {};
            av_strerror(error, text, sizeof(text));
            return text;
        }
    }
}

void SinkWriter::Abandon() {
    const State was = m_state.exchange(State::kFinalized);
    if (was == State::kFinalized)
        return;
    if (was == State::kWriting) {
        for (Stream& stream : m_streams)
            stream.encoder->Drain();
    }
    std::lock_guard lock(m_muxMutex);
    RemoveFile();
}

void SinkWriter::RemoveFile() {
    if (m_format && m_format->pb)
        avio_closep(&m_format->pb);
    std::error_code ignored;
    std::filesystem::remove(m_path, ignored);
}

}  // namespace tamro::platform::media

namespace tamro::platform::media {

ResultCode CreateMediaSink(const std::string& path, const SinkWriterAttributes& attributes,
                           std::unique_ptr<MediaSink>* sink) {
    if (!sink)
        return kPointer;
    std::unique_ptr<SinkWriter> writer;
    const ResultCode result = SinkWriter::CreateFromPath(path, attributes, &writer);
    *sink = std::move(writer);
    return result;
}

}  // namespace tamro::platform::media
