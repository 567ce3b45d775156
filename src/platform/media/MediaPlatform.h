#pragma once

#include "tamro/ResultCode.h"

namespace tamro::platform::media {

// Start-up of the media libraries: quiets their own logging and checks that the H.264 encoder,
// the AAC encoder and the MP4 muxer this layer writes with are present. kFail when one is missing.
// Threading: any thread, any number of times.
ResultCode StartMediaPlatform();

}  // namespace tamro::platform::media
