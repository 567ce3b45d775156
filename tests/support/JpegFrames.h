#pragma once

// jpeglib.h uses FILE and size_t without including their headers.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace tamro::test {

enum class ChromaSubsampling { k422, k420 };

// A JPEG of a BGRA picture as a camera's encoder makes it: baseline, the standard Huffman
// tables, the given quality and chroma subsampling. For test and benchmark input only: a failure
// ends the process, as libjpeg's default error handler does.
inline std::vector<uint8_t> EncodeJpeg(const uint8_t* bgra, uint32_t stride, uint32_t width,
                                       uint32_t height, int quality,
                                       ChromaSubsampling subsampling) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long outBytes = 0;
    jpeg_mem_dest(&info, &out, &outBytes);
    info.image_width = width;
    info.image_height = height;
    info.input_components = 4;
    info.in_color_space = JCS_EXT_BGRA;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    info.comp_info[0].h_samp_factor = 2;
    info.comp_info[0].v_samp_factor = subsampling == ChromaSubsampling::k420 ? 2 : 1;
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < height) {
        JSAMPROW row =
            const_cast<uint8_t*>(bgra + static_cast<size_t>(info.next_scanline) * stride);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    std::vector<uint8_t> jpeg(out, out + outBytes);
    jpeg_destroy_compress(&info);
    free(out);
    return jpeg;
}

// `jpeg` without its DHT segments, as many cameras send their frames: the decoder is expected to
// supply the standard tables the encoder used.
inline std::vector<uint8_t> WithoutHuffmanTables(const std::vector<uint8_t>& jpeg) {
    constexpr uint8_t kDht = 0xC4;
    constexpr uint8_t kSos = 0xDA;
    std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);  // SOI
    size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != kSos) {
        const size_t length = 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
        if (jpeg[at + 1] != kDht)
            out.insert(out.end(), jpeg.begin() + at, jpeg.begin() + at + length);
        at += length;
    }
    out.insert(out.end(), jpeg.begin() + at, jpeg.end());
    return out;
}

}  // namespace tamro::test
