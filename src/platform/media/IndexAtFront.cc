#include "platform/media/IndexAtFront.h"

#include <filesystem>
#include <string>
#include <vector>

#include "platform/media/FfmpegHandles.h"

namespace tamro::platform::media {
namespace {

// The index of a regular MP4 costs at most about 32 bytes a packet (size, chunk offset, time and
// composition entries, sync marks); what the reservation leaves over becomes a free box.
constexpr int64_t kIndexBytesPerPacket = 32;
constexpr int64_t kIndexBaseBytes = 64 * 1024;

struct InputFormatDeleter {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatDeleter>;

ResultCode OpenInput(const std::string& path, InputFormatPtr* input) {
    AVFormatContext* opened = nullptr;
    const int result = avformat_open_input(&opened, path.c_str(), nullptr, nullptr);
    if (result < 0) {
        return ResultFromAvError(result);
    }
    input->reset(opened);
    return kOk;
}

ResultCode CopyStreams(const AVFormatContext& input, AVFormatContext* output) {
    for (unsigned i = 0; i < input.nb_streams; ++i) {
        const AVStream* from = input.streams[i];
        AVStream* to = avformat_new_stream(output, nullptr);
        if (!to || avcodec_parameters_copy(to->codecpar, from->codecpar) < 0) {
            return kOutOfMemory;
        }
        to->codecpar->codec_tag = 0;
        to->time_base = from->time_base;
        to->avg_frame_rate = from->avg_frame_rate;
        to->disposition = from->disposition;
        av_dict_copy(&to->metadata, from->metadata, 0);
    }
    av_dict_copy(&output->metadata, input.metadata, 0);
    // The muxer writes its own name as "encoder"; the writing tool's entry goes by another key.
    if (const AVDictionaryEntry* tool = av_dict_get(input.metadata, "encoder", nullptr, 0)) {
        av_dict_set(&output->metadata, "encoding_tool", tool->value, 0);
        av_dict_set(&output->metadata, "encoder", nullptr, 0);
    }
    return kOk;
}

ResultCode CopyPackets(AVFormatContext* input, AVFormatContext* output,
                       std::atomic<int64_t>* progress) {
    PacketPtr packet(av_packet_alloc());
    if (!packet) {
        return kOutOfMemory;
    }
    for (;;) {
        const int read = av_read_frame(input, packet.get());
        if (read == AVERROR_EOF) {
            return kOk;
        }
        if (read < 0) {
            return ResultFromAvError(read);
        }
        const AVStream* from = input->streams[packet->stream_index];
        av_packet_rescale_ts(packet.get(), from->time_base,
                             output->streams[packet->stream_index]->time_base);
        packet->pos = -1;
        const int written = av_interleaved_write_frame(output, packet.get());
        if (written < 0) {
            return ResultFromAvError(written);
        }
        if (progress != nullptr) {
            progress->fetch_add(1, std::memory_order_relaxed);
        }
    }
}

}  // namespace

ResultCode IndexAtFront::Apply(const std::string& path, int64_t packets,
                               std::atomic<int64_t>* progress) {
    const std::string part = path + ".part";
    const ResultCode result = Remux(path, part, packets, progress);
    std::error_code error;
    if (Succeeded(result)) {
        std::filesystem::rename(part, path, error);
        if (!error) {
            return kOk;
        }
    }
    std::filesystem::remove(part, error);
    return Failed(result) ? result : kFail;
}

ResultCode IndexAtFront::Remux(const std::string& from, const std::string& to, int64_t packets,
                               std::atomic<int64_t>* progress) {
    QuietFfmpegLogging();
    InputFormatPtr input;
    if (const ResultCode opened = OpenInput(from, &input); Failed(opened)) {
        return opened;
    }
    AVFormatContext* created = nullptr;
    if (avformat_alloc_output_context2(&created, nullptr, "mp4", to.c_str()) < 0 || !created) {
        return kOutOfMemory;
    }
    OutputFormatPtr output(created);
    if (const ResultCode copied = CopyStreams(*input, output.get()); Failed(copied)) {
        return copied;
    }
    const int opened = avio_open(&output->pb, to.c_str(), AVIO_FLAG_WRITE);
    if (opened < 0) {
        return ResultFromAvError(opened);
    }
    AVDictionary* options = nullptr;
    const int64_t reserve = kIndexBaseBytes + kIndexBytesPerPacket * packets;
    av_dict_set_int(&options, "moov_size", reserve, 0);
    const int header = avformat_write_header(output.get(), &options);
    av_dict_free(&options);
    if (header < 0) {
        return ResultFromAvError(header);
    }
    if (const ResultCode copied = CopyPackets(input.get(), output.get(), progress);
        Failed(copied)) {
        return copied;
    }
    const int trailer = av_write_trailer(output.get());
    if (trailer < 0) {
        return ResultFromAvError(trailer);
    }
    const int closed = avio_closep(&output->pb);
    return closed < 0 ? ResultFromAvError(closed) : kOk;
}

}  // namespace tamro::platform::media
