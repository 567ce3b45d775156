#include "platform/imaging/PngFile.h"

#include <png.h>

#include <cstring>

namespace tamro::platform::imaging {
namespace {

// libpng's simplified API keeps its state in `image` and frees it on every failure; this frees
// it on the ways out that succeed part-way.
struct ImageGuard {
    png_image& image;
    ~ImageGuard() { png_image_free(&image); }
};

}  // namespace

ImageStatus PngFile::Read(const std::string& path, Picture* picture) {
    *picture = {};
    if (FILE* probe = std::fopen(path.c_str(), "rb"))
        std::fclose(probe);
    else
        return ImageStatus::kOpenFailed;

    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    ImageGuard guard{image};
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return ImageStatus::kCorrupt;
    if (image.width > kMaxPictureSide || image.height > kMaxPictureSide)
        return ImageStatus::kTooLarge;
    image.format = PNG_FORMAT_RGBA;
    Picture decoded;
    decoded.width = image.width;
    decoded.height = image.height;
    decoded.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, decoded.rgba.data(),
                               static_cast<png_int_32>(decoded.Stride()), nullptr)) {
        return ImageStatus::kCorrupt;
    }
    *picture = std::move(decoded);
    return ImageStatus::kOk;
}

}  // namespace tamro::platform::imaging
