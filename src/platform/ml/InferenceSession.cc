#include "platform/ml/InferenceSession.h"

#include <cstring>
#include <string_view>

#include "platform/ml/OnnxApi.h"

namespace tamro::platform::ml {

#if TAMRO_HAVE_ONNXRUNTIME

namespace {

// Owns one object of the runtime, released by its own function.
template <typename T, void (*OrtApi::*Release)(T*)>
struct OrtHandle {
    T* get = nullptr;
    OrtHandle() = default;
    OrtHandle(const OrtHandle&) = delete;
    OrtHandle& operator=(const OrtHandle&) = delete;
    ~OrtHandle() {
        if (get)
            (OnnxApi().*Release)(get);
    }
    T** out() { return &get; }
};

using Env = OrtHandle<OrtEnv, &OrtApi::ReleaseEnv>;
using Session = OrtHandle<OrtSession, &OrtApi::ReleaseSession>;
using SessionOptions = OrtHandle<OrtSessionOptions, &OrtApi::ReleaseSessionOptions>;
using MemoryInfo = OrtHandle<OrtMemoryInfo, &OrtApi::ReleaseMemoryInfo>;
using TypeInfo = OrtHandle<OrtTypeInfo, &OrtApi::ReleaseTypeInfo>;
using Value = OrtHandle<OrtValue, &OrtApi::ReleaseValue>;
using TensorInfo = OrtHandle<OrtTensorTypeAndShapeInfo, &OrtApi::ReleaseTensorTypeAndShapeInfo>;

std::vector<int64_t> Dimensions(const OrtTensorTypeAndShapeInfo* info) {
    const OrtApi& api = OnnxApi();
    size_t count = 0;
    Check(api.GetDimensionsCount(info, &count));
    std::vector<int64_t> dims(count);
    Check(api.GetDimensions(info, dims.data(), count));
    return dims;
}

std::vector<int64_t> TypeShape(OrtTypeInfo* type) {
    const OrtTensorTypeAndShapeInfo* tensor = nullptr;
    Check(OnnxApi().CastTypeInfoToTensorInfo(type, &tensor));
    if (!tensor)
        throw OnnxError("the model's input or output is not a tensor");
    return Dimensions(tensor);
}

bool HasProvider(std::string_view wanted) {
    const OrtApi& api = OnnxApi();
    char** providers = nullptr;
    int count = 0;
    Check(api.GetAvailableProviders(&providers, &count));
    bool found = false;
    for (int i = 0; i < count; ++i)
        found = found || wanted == providers[i];
    Check(api.ReleaseAvailableProviders(providers, count));
    return found;
}

// A GPU provider runs the network where the installed runtime has one; the CPU provider, always
// present, is the fall-back.
bool AppendGpuProvider(OrtSessionOptions* options) {
    const OrtApi& api = OnnxApi();
    if (!HasProvider("CUDAExecutionProvider"))
        return false;
    OrtCUDAProviderOptionsV2* cuda = nullptr;
    if (OrtStatus* status = api.CreateCUDAProviderOptions(&cuda)) {
        api.ReleaseStatus(status);
        return false;
    }
    OrtStatus* status = api.SessionOptionsAppendExecutionProvider_CUDA_V2(options, cuda);
    api.ReleaseCUDAProviderOptions(cuda);
    if (status) {
        api.ReleaseStatus(status);
        return false;
    }
    return true;
}

}  // namespace

struct InferenceSession::Handles {
    Env env;
    Session session;
    MemoryInfo memory;
};

std::unique_ptr<InferenceSession> InferenceSession::Open(const std::filesystem::path& model,
                                                         const InferenceOptions& options) {
    const OrtApi& api = OnnxApi();
    auto handles = std::make_unique<Handles>();
    Check(api.CreateEnv(ORT_LOGGING_LEVEL_WARNING, options.logId.c_str(), handles->env.out()));
    Check(api.SetLanguageProjection(handles->env.get, ORT_PROJECTION_C));
    SessionOptions sessionOptions;
    Check(api.CreateSessionOptions(sessionOptions.out()));
    Check(api.SetIntraOpNumThreads(sessionOptions.get, options.intraOpThreads));
    Check(api.SetSessionGraphOptimizationLevel(sessionOptions.get, ORT_ENABLE_ALL));
    // Between frames the runtime's threads would spin for more work, burning a core's worth of
    // CPU that a recording needs; they sleep instead.
    Check(api.AddSessionConfigEntry(sessionOptions.get, "session.intra_op.allow_spinning", "0"));
    const bool gpu = AppendGpuProvider(sessionOptions.get);
    Check(api.CreateSession(handles->env.get, model.c_str(), sessionOptions.get,
                            handles->session.out()));
    Check(api.CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, handles->memory.out()));
    auto session = std::make_unique<InferenceSession>(std::move(handles));
    session->m_gpuProvider = gpu;
    session->ReadSignature();
    return session;
}

InferenceSession::InferenceSession(std::unique_ptr<Handles> handles)
    : m_handles(std::move(handles)) {}

InferenceSession::~InferenceSession() = default;

void InferenceSession::ReadSignature() {
    const OrtApi& api = OnnxApi();
    OrtSession* session = m_handles->session.get;
    OrtAllocator* allocator = nullptr;
    Check(api.GetAllocatorWithDefaultOptions(&allocator));
    auto readNames = [&](auto countFunction, auto nameFunction, std::vector<std::string>* names) {
        size_t count = 0;
        Check((api.*countFunction)(session, &count));
        for (size_t i = 0; i < count; ++i) {
            char* name = nullptr;
            Check((api.*nameFunction)(session, i, allocator, &name));
            names->emplace_back(name);
            Check(api.AllocatorFree(allocator, name));
        }
    };
    readNames(&OrtApi::SessionGetInputCount, &OrtApi::SessionGetInputName, &m_inputNames);
    readNames(&OrtApi::SessionGetOutputCount, &OrtApi::SessionGetOutputName, &m_outputNames);
    if (m_inputNames.empty() || m_outputNames.empty())
        throw OnnxError("the model has no input or no output");
    TypeInfo input;
    Check(api.SessionGetInputTypeInfo(session, 0, input.out()));
    m_inputShape = TypeShape(input.get);
    TypeInfo output;
    Check(api.SessionGetOutputTypeInfo(session, 0, output.out()));
    m_outputShape = TypeShape(output.get);
}

void InferenceSession::Run(std::span<const float> input, std::span<const int64_t> shape,
                           std::vector<float>* output0) {
    const OrtApi& api = OnnxApi();
    Value tensor;
    // The runtime only reads an input tensor, though its interface takes it as writable.
    Check(api.CreateTensorWithDataAsOrtValue(
        m_handles->memory.get, const_cast<float*>(input.data()), input.size_bytes(), shape.data(),
        shape.size(), ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, tensor.out()));
    const char* inputName = m_inputNames.front().c_str();
    const char* outputName = m_outputNames.front().c_str();
    Value result;
    const OrtValue* inputs[] = {tensor.get};
    Check(api.Run(m_handles->session.get, nullptr, &inputName, inputs, 1, &outputName, 1,
                  result.out()));
    TensorInfo info;
    Check(api.GetTensorTypeAndShape(result.get, info.out()));
    size_t count = 0;
    Check(api.GetTensorShapeElementCount(info.get, &count));
    float* data = nullptr;
    Check(api.GetTensorMutableData(result.get, reinterpret_cast<void**>(&data)));
    output0->assign(data, data + count);
}

#else  // the engine was built without the runtime's header

struct InferenceSession::Handles {};

std::unique_ptr<InferenceSession> InferenceSession::Open(const std::filesystem::path&,
                                                         const InferenceOptions&) {
    throw std::runtime_error("ONNX Runtime is not available: the engine was built without it");
}

InferenceSession::InferenceSession(std::unique_ptr<Handles> handles)
    : m_handles(std::move(handles)) {}
InferenceSession::~InferenceSession() = default;
void InferenceSession::ReadSignature() {}
void InferenceSession::Run(std::span<const float>, std::span<const int64_t>, std::vector<float>*) {
    throw std::runtime_error("ONNX Runtime is not available");
}

#endif

}  // namespace tamro::platform::ml
