// Force-included into engine code outside src/platform/. The platform layer alone talks to the
// system's media, display and audio libraries; declaring one of these names here means one of
// their headers was included from engine code, which stops the build.
#pragma once

#pragma GCC poison XOpenDisplay XShmGetImage XRRGetScreenResources
#pragma GCC poison pa_context_new pa_stream_new pa_threaded_mainloop_new
#pragma GCC poison avcodec_open2 avformat_alloc_output_context2 av_frame_alloc swr_alloc
#pragma GCC poison v4l2_open v4l2_ioctl
#pragma GCC poison OrtGetApiBase
#pragma GCC poison png_image_begin_read_from_file jpeg_read_header
