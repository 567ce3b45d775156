#include "platform/imaging/Picture.h"

namespace tamro::platform::imaging {

const char* ImageStatusName(ImageStatus status) {
    switch (status) {
        case ImageStatus::kOk:
            return "ok";
        case ImageStatus::kOpenFailed:
            return "cannot open";
        case ImageStatus::kCorrupt:
            return "corrupt";
        case ImageStatus::kUnsupported:
            return "unsupported";
        case ImageStatus::kTooLarge:
            return "too large";
        case ImageStatus::kWriteFailed:
            return "write failed";
    }
    return "unknown";
}

}  // namespace tamro::platform::imaging
