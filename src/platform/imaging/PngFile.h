#pragma once

#include <string>

#include "platform/imaging/Picture.h"

namespace tamro::platform::imaging {

// PNG files through libpng, read as RGBA: 8-bit RGB gains an opaque alpha; grey, palette and
// 16-bit files are converted by libpng as well.
// Threading: any thread; calls share nothing.
class PngFile {
  public:
    // On failure `picture` is left empty.
    static ImageStatus Read(const std::string& path, Picture* picture);
};

}  // namespace tamro::platform::imaging
