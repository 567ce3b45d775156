#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/ml/InferenceSession.h"

namespace tamro {

// How a model lays out its image input, read from input 0's declared shape.
struct ModelLayout {
    bool isNCHW = false;
    int32_t width = 256;
    int32_t height = 256;
};

// NCHW when d1 is 3, or when d1 is 1..4 and d3 is at least 5; NHWC otherwise. A dynamic
// dimension (0 or less, or missing) counts as 256.
ModelLayout DetectLayout(std::span<const int64_t> inputShape);

// One loaded model file, shared by every user in the process: a second camera pipeline or a
// pre-warm finds the session made by the first instead of loading the file again.
// Threading: immutable once made; the session's Run may be called from several threads.
struct CachedOnnxSession {
    std::unique_ptr<platform::ml::InferenceSession> session;
    std::vector<std::string> inputNames;
    std::vector<std::string> outputNames;
    std::vector<int64_t> outputShape;
    bool isNCHW = false;
    int32_t width = 256;
    int32_t height = 256;
    bool usesDirectML = false;
    bool ready = false;

    // Opens `path` in the runtime (throws its errors); logging as "SegmentationModel".
    static std::shared_ptr<CachedOnnxSession> Create(const std::filesystem::path& path);

    // The process's session for `path`: made by `create` (under the cache's lock, so that two
    // pipelines starting together make one) unless it is there already. `create` may throw;
    // nothing is cached then.
    using Creator = std::function<std::shared_ptr<CachedOnnxSession>(const std::filesystem::path&)>;
    static std::shared_ptr<CachedOnnxSession> Shared(const std::filesystem::path& path,
                                                     const Creator& create = Create);
};

}  // namespace tamro
