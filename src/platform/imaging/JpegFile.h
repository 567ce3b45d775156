#pragma once

#include <string>

#include "platform/imaging/Picture.h"

namespace tamro::platform::imaging {

// JPEG files through libjpeg-turbo, to and from RGBA. A file whose data is damaged or cut short
// is refused rather than decoded with grey where the data was lost.
// Threading: any thread; calls share nothing.
class JpegFile {
  public:
    // On failure `picture` is left empty.
    static ImageStatus Read(const std::string& path, Picture* picture);
    // Alpha is dropped; 4:2:0 chroma, optimised Huffman tables.
    static ImageStatus Write(const std::string& path, const Picture& picture, int quality = 90);
};

}  // namespace tamro::platform::imaging
