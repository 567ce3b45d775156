#include "platform/imaging/JpegFile.h"

// jpeglib.h uses FILE and size_t without including their headers.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <csetjmp>
#include <memory>

namespace tamro::platform::imaging {
namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// `manager` first, so that libjpeg's pointer to it is a pointer to the whole.
struct Errors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void Jump(j_common_ptr common) {
    std::longjmp(reinterpret_cast<Errors*>(common->err)->jump, 1);
}

// Warnings that mean the entropy-coded data is damaged or cut short; libjpeg would decode on
// through them and fill the rest with grey.
void JumpOnDamage(j_common_ptr common, int level) {
    const int code = common->err->msg_code;
    if (level < 0 && (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER ||
                      code == JWRN_HUFF_BAD_CODE || code == JWRN_MUST_RESYNC)) {
        Jump(common);
    }
}

struct Decompressor {
    Decompressor() {
        info.err = jpeg_std_error(&errors.manager);
        errors.manager.error_exit = Jump;
        errors.manager.emit_message = JumpOnDamage;
        jpeg_create_decompress(&info);
    }
    ~Decompressor() { jpeg_destroy_decompress(&info); }

    Errors errors;
    jpeg_decompress_struct info;
};

struct Compressor {
    Compressor() {
        info.err = jpeg_std_error(&errors.manager);
        errors.manager.error_exit = Jump;
        jpeg_create_compress(&info);
    }
    ~Compressor() { jpeg_destroy_compress(&info); }

    Errors errors;
    jpeg_compress_struct info;
};

// libjpeg reports a fatal error by calling error_exit, which must not return, and a C++
// exception must not unwind through its C frames; so the handler longjmps back to the setjmp
// here. No object with a destructor is created between the two (the picture's buffer exists
// before and is only resized), so the jump skips no cleanup; the caller's Decompressor then
// destroys libjpeg's state.
ImageStatus Decode(Decompressor& decoder, FILE* file, Picture* picture) {
    jpeg_decompress_struct& info = decoder.info;
    if (setjmp(decoder.errors.jump) != 0)
        return ImageStatus::kCorrupt;
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK)
        return ImageStatus::kUnsupported;
    if (info.image_width > kMaxPictureSide || info.image_height > kMaxPictureSide)
        return ImageStatus::kTooLarge;
    info.out_color_space = JCS_EXT_RGBA;
    jpeg_start_decompress(&info);
    picture->width = info.output_width;
    picture->height = info.output_height;
    picture->rgba.resize(size_t{picture->Stride()} * picture->height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = picture->Pixel(0, info.output_scanline);
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    return ImageStatus::kOk;
}

// As Decode: nothing with a destructor lives between setjmp and the jumps.
bool Encode(Compressor& encoder, FILE* file, const Picture& picture, int quality) {
    jpeg_compress_struct& info = encoder.info;
    if (setjmp(encoder.errors.jump) != 0)
        return false;
    jpeg_stdio_dest(&info, file);
    info.image_width = picture.width;
    info.image_height = picture.height;
    info.input_components = 4;
    info.in_color_space = JCS_EXT_RGBA;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    info.optimize_coding = TRUE;
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(picture.Pixel(0, info.next_scanline));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    return true;
}

}  // namespace

ImageStatus JpegFile::Read(const std::string& path, Picture* picture) {
    *picture = {};
    File file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return ImageStatus::kOpenFailed;
    Decompressor decoder;
    const ImageStatus status = Decode(decoder, file.get(), picture);
    if (status != ImageStatus::kOk)
        *picture = {};
    return status;
}

ImageStatus JpegFile::Write(const std::string& path, const Picture& picture, int quality) {
    if (picture.width == 0 || picture.height == 0 || picture.width > kMaxPictureSide ||
        picture.height > kMaxPictureSide ||
        picture.rgba.size() < size_t{picture.Stride()} * picture.height) {
        return ImageStatus::kUnsupported;
    }
    File file(std::fopen(path.c_str(), "wb"));
    if (!file)
        return ImageStatus::kOpenFailed;
    bool written = false;
    {
        Compressor encoder;
        written = Encode(encoder, file.get(), picture, quality);
    }
    written = std::fclose(file.release()) == 0 && written;
    if (!written) {
        std::remove(path.c_str());
        return ImageStatus::kWriteFailed;
    }
    return ImageStatus::kOk;
}

}  // namespace tamro::platform::imaging
