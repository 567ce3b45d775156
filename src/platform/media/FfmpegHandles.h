#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

#include "tamro/ResultCode.h"

namespace tamro::platform::media {

// Owning handles for the FFmpeg objects this layer creates.
struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ResamplerDeleter {
    void operator()(SwrContext* resampler) const { swr_free(&resampler); }
};
struct AudioFifoDeleter {
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
struct BufferRefDeleter {
    void operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
};
// Closes the file the context writes (if open) before freeing the context.
struct OutputFormatDeleter {
    void operator()(AVFormatContext* context) const {
        if (context->pb && !(context->oformat->flags & AVFMT_NOFILE))
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;
using BufferRefPtr = std::unique_ptr<AVBufferRef, BufferRefDeleter>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;

// FFmpeg's own messages are kept off the diagnostic stream; failures reach it as result codes.
void QuietFfmpegLogging();

// A context for the named encoder; kUnsupportedFormat when this build has none of that name.
ResultCode AllocateEncoder(const char* name, CodecContextPtr* context);
// Opens a configured context, with global headers when the container keeps them.
ResultCode OpenEncoder(AVCodecContext* context, bool globalHeader);

// An FFmpeg error as a 32-bit result code (the platform's codes for the common errno cases).
ResultCode ResultFromAvError(int error);

}  // namespace tamro::platform::media
