#include "platform/camera/FrameDecoder.h"

// jpeglib.h uses FILE and size_t without including their headers.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// clang-format on
#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>

#include <csetjmp>

namespace tamro::platform::camera {
namespace {

constexpr uint32_t kYuyv = Fourcc('Y', 'U', 'Y', 'V');
constexpr uint32_t kNv12 = Fourcc('N', 'V', '1', '2');
constexpr uint32_t kMjpeg = Fourcc('M', 'J', 'P', 'G');
constexpr uint32_t kBgrx = Fourcc('B', 'G', 'R', '4');
constexpr uint32_t kBgra = Fourcc('A', 'R', '2', '4');

// Larger than any camera picture; bounds what a damaged JPEG header can make us allocate.
constexpr uint32_t kMaxSide = 8192;

// Chosen by measuring a 1080p 4:2:2 camera frame at quality 85 (bench/camera.cc,
// BM_JpegDecodeSettings): the fast DCT saves 3% of the time and loses 0.9 dB, merged
// (nearest-neighbour) chroma upsampling saves 5% and loses 0.2 dB, and with the accurate DCT and
// interpolating upsampling a frame still decodes in well under half its period at 30 per second.
constexpr J_DCT_METHOD kDctMethod = JDCT_ISLOW;
constexpr boolean kFancyUpsampling = TRUE;

// Warnings that mean the entropy-coded data is damaged or cut short. libjpeg decodes on through
// them and fills what it could not read with grey; a recording is better served by no picture.
bool IsDamageWarning(int code) {
    return code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER || code == JWRN_HUFF_BAD_CODE ||
           code == JWRN_MUST_RESYNC;
}

}  // namespace

struct FrameDecoder::Jpeg {
    // `manager` first, so that libjpeg's pointer to it is a pointer to the whole.
    struct Errors {
        jpeg_error_mgr manager;
        std::jmp_buf jump;
    };

    Jpeg() {
        info.err = jpeg_std_error(&errors.manager);
        errors.manager.error_exit = Jump;
        errors.manager.emit_message = JumpOnDamage;
        // Fails only when a few hundred bytes cannot be allocated; then Jump has nowhere to go,
        // as the default handler would end the process anyway.
        jpeg_create_decompress(&info);
    }
    ~Jpeg() { jpeg_destroy_decompress(&info); }

    [[noreturn]] static void Jump(j_common_ptr common) {
        std::longjmp(reinterpret_cast<Errors*>(common->err)->jump, 1);
    }
    static void JumpOnDamage(j_common_ptr common, int level) {
        if (level < 0 && IsDamageWarning(common->err->msg_code))
            Jump(common);
    }

    bool Decode(const uint8_t* data, size_t bytes, std::vector<uint8_t>& bgra, uint32_t& width,
                uint32_t& height);

    Errors errors;
    jpeg_decompress_struct info;
    std::vector<JSAMPROW> rows;
};

// Decodes one JPEG into `bgra`, tightly packed, and sets `width` and `height`. libjpeg reports a
// fatal error by calling error_exit, which must not return, and a C++ exception must not unwind
// through its C frames; so the handler longjmps back to the setjmp here. Between the two only
// libjpeg's frames and this function's run, and no object with a destructor is created in this
// function, so the jump skips no cleanup; jpeg_abort_decompress then leaves the decoder ready for
// the next frame.
bool FrameDecoder::Jpeg::Decode(const uint8_t* data, size_t bytes, std::vector<uint8_t>& bgra,
                                uint32_t& width, uint32_t& height) {
    if (setjmp(errors.jump) != 0) {
        jpeg_abort_decompress(&info);
        return false;
    }
    jpeg_mem_src(&info, data, static_cast<unsigned long>(bytes));
    jpeg_read_header(&info, TRUE);
    if (info.image_width > kMaxSide || info.image_height > kMaxSide) {
        jpeg_abort_decompress(&info);
        return false;
    }
    // Frames without Huffman tables, as many cameras send them, get the standard tables from
    // libjpeg-turbo itself when decoding starts.
    info.out_color_space = JCS_EXT_BGRA;
    info.dct_method = kDctMethod;
    info.do_fancy_upsampling = kFancyUpsampling;
    jpeg_start_decompress(&info);

    width = info.output_width;
    height = info.output_height;
    const size_t stride = static_cast<size_t>(width) * 4;
    bgra.resize(stride * height);
    rows.resize(height);
    for (uint32_t y = 0; y < height; ++y)
        rows[y] = bgra.data() + y * stride;
    while (info.output_scanline < height) {
        jpeg_read_scanlines(&info, rows.data() + info.output_scanline,
                            height - info.output_scanline);
    }
    jpeg_finish_decompress(&info);
    return true;
}

namespace {

size_t Nv12Bytes(uint32_t width, uint32_t height) {
    const size_t chromaStride = (static_cast<size_t>(width) + 1) / 2 * 2;
    return static_cast<size_t>(width) * height + chromaStride * ((height + 1) / 2);
}

}  // namespace

FrameDecoder::FrameDecoder() : m_jpeg(std::make_unique<Jpeg>()) {}

FrameDecoder::~FrameDecoder() = default;

bool FrameDecoder::Reads(uint32_t fourcc) {
    return fourcc == kYuyv || fourcc == kNv12 || fourcc == kMjpeg || fourcc == kBgrx ||
           fourcc == kBgra;
}

Frame FrameDecoder::Decode(const VideoFormat& format, const uint8_t* data, size_t bytes) {
    if (data == nullptr || bytes == 0)
        return {};
    if (format.fourcc == kMjpeg) {
        uint32_t width = 0;
        uint32_t height = 0;
        if (!m_jpeg->Decode(data, bytes, m_bgra, width, height))
            return {};
        return Frame{m_bgra.data(), width * 4, width, height};
    }

    const uint32_t width = format.width;
    const uint32_t height = format.height;
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide)
        return {};
    const size_t pixels = static_cast<size_t>(width) * height;
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    const int stride = w * 4;

    // Raw formats arrive with rows packed: the camera's bytesperline is its minimum.
    switch (format.fourcc) {
        case kYuyv: {
            // Pixels come in pairs sharing their chroma; an odd width ends on a whole pair.
            const int yuyvStride = (w + 1) / 2 * 4;
            if (bytes < static_cast<size_t>(yuyvStride) * height)
                return {};
            m_bgra.resize(pixels * 4);
            // libyuv's ARGB is B, G, R, A in memory, and its YUY2 and NV12 conversions use
            // BT.601 limited range, which is what UVC cameras send.
            libyuv::YUY2ToARGB(data, yuyvStride, m_bgra.data(), stride, w, h);
            break;
        }
        case kNv12:
            if (bytes < Nv12Bytes(width, height))
                return {};
            m_bgra.resize(pixels * 4);
            libyuv::NV12ToARGB(data, w, data + pixels, (w + 1) / 2 * 2, m_bgra.data(), stride, w,
                               h);
            break;
        case kBgrx:
        case kBgra:
            if (bytes < pixels * 4)
                return {};
            m_bgra.resize(pixels * 4);
            libyuv::ARGBCopy(data, stride, m_bgra.data(), stride, w, h);
            if (format.fourcc == kBgrx)
                ForceOpaque(width, height);
            break;
        default:
            return {};
    }
    return Frame{m_bgra.data(), static_cast<uint32_t>(stride), width, height};
}

void FrameDecoder::ForceOpaque(uint32_t width, uint32_t height) {
    // libyuv has no "set alpha"; copying alpha from a plane of 255s does it with its SIMD rows.
    // A source stride of 0 reads the one row of 255s for every row.
    m_opaqueRow.resize(width, 0xFF);
    libyuv::ARGBCopyYToAlpha(m_opaqueRow.data(), 0, m_bgra.data(), static_cast<int>(width) * 4,
                             static_cast<int>(width), static_cast<int>(height));
}

}  // namespace tamro::platform::camera
