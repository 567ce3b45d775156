#include "platform/ml/OnnxApi.h"

#if TAMRO_HAVE_ONNXRUNTIME
#include <dlfcn.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ml/InferenceSession.h"
#include "platform/system/Environment.h"

namespace tamro::platform::ml {

namespace {

constexpr uint32_t kApiVersion = 23;
constexpr const char* kLibraryName = "libonnxruntime.so.1";

// Beside the executable first (an installed application), then the copy the build was set up
// with, then the system's search path.
std::vector<std::string> LibraryCandidates() {
    std::vector<std::string> candidates;
    if (auto folder = ExecutableDirectory())
        candidates.push_back((*folder / kLibraryName).string());
#ifdef TAMRO_ONNXRUNTIME_LIBRARY
    candidates.emplace_back(TAMRO_ONNXRUNTIME_LIBRARY);
#endif
    candidates.emplace_back(kLibraryName);
    return candidates;
}

// The library stays loaded for the life of the process, as the sessions made from it do.
const OrtApi* LoadApi(std::string* failure) {
    void* library = nullptr;
    for (const std::string& candidate : LibraryCandidates()) {
        library = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library)
            break;
        *failure = dlerror();
    }
    if (!library)
        return nullptr;
    using GetApiBase = const OrtApiBase* (*)();
    auto getApiBase = reinterpret_cast<GetApiBase>(dlsym(library, "OrtGetApiBase"));
    const OrtApiBase* base = getApiBase ? getApiBase() : nullptr;
    const OrtApi* api = base ? base->GetApi(kApiVersion) : nullptr;
    if (!api)
        *failure = "the ONNX Runtime library does not offer API version 23";
    return api;
}

}  // namespace

const OrtApi& OnnxApi() {
    static std::once_flag once;
    static const OrtApi* api = nullptr;
    static std::string failure;
    std::call_once(once, [] { api = LoadApi(&failure); });
    if (!api)
        throw std::runtime_error("ONNX Runtime is not available: " + failure);
    return *api;
}

void Check(OrtStatus* status) {
    if (!status)
        return;
    const OrtApi& api = OnnxApi();
    std::string message = api.GetErrorMessage(status);
    api.ReleaseStatus(status);
    throw OnnxError(message);
}

}  // namespace tamro::platform::ml
#endif
