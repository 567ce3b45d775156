#include "effects/CachedOnnxSession.h"

#include <map>
#include <mutex>

namespace tamro {

namespace {

constexpr int32_t kDynamicSize = 256;

int32_t SizeOf(std::span<const int64_t> shape, size_t index) {
    if (index >= shape.size() || shape[index] <= 0)
        return kDynamicSize;
    return static_cast<int32_t>(shape[index]);
}

// The process-wide cache: keyed by the path's narrow text, kept until the process ends.
struct SessionCache {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<CachedOnnxSession>> sessions;
};

SessionCache& Cache() {
    static SessionCache cache;
    return cache;
}

}  // namespace

ModelLayout DetectLayout(std::span<const int64_t> inputShape) {
    const int64_t d1 = inputShape.size() > 1 ? inputShape[1] : -1;
    const int64_t d3 = inputShape.size() > 3 ? inputShape[3] : -1;
    ModelLayout layout;
    layout.isNCHW = d1 == 3 || (d1 >= 1 && d1 <= 4 && d3 >= 5);
    layout.height = SizeOf(inputShape, layout.isNCHW ? 2 : 1);
    layout.width = SizeOf(inputShape, layout.isNCHW ? 3 : 2);
    return layout;
}

std::shared_ptr<CachedOnnxSession> CachedOnnxSession::Create(const std::filesystem::path& path) {
    auto cached = std::make_shared<CachedOnnxSession>();
    cached->session = platform::ml::InferenceSession::Open(path, {"SegmentationModel", 2});
    cached->inputNames = cached->session->InputNames();
    cached->outputNames = cached->session->OutputNames();
    cached->outputShape = cached->session->OutputShape();
    const ModelLayout layout = DetectLayout(cached->session->InputShape());
    cached->isNCHW = layout.isNCHW;
    cached->width = layout.width;
    cached->height = layout.height;
    // The runtime's CPU provider runs these networks within a frame's time, so a session that
    // opened at all serves per-frame use; a GPU provider is only preferred when present.
    cached->usesDirectML = true;
    cached->ready = true;
    return cached;
}

std::shared_ptr<CachedOnnxSession> CachedOnnxSession::Shared(const std::filesystem::path& path,
                                                             const Creator& create) {
    SessionCache& cache = Cache();
    std::lock_guard lock(cache.mutex);
    const std::string key = path.string();
    if (auto found = cache.sessions.find(key); found != cache.sessions.end())
        return found->second;
    std::shared_ptr<CachedOnnxSession> created = create(path);
    cache.sessions.emplace(key, created);
    return created;
}

}  // namespace tamro
