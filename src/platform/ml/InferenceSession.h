#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace tamro::platform::ml {

// A failure the inference runtime reported, with its own message.
class OnnxError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct InferenceOptions {
    // Identifies the runtime's own log lines.
    std::string logId;
    int intraOpThreads = 2;
};

// One model loaded into ONNX Runtime, which the engine loads at run time: without the library
// installed, Open throws a std::runtime_error saying so and the engine runs without models.
// Threading: Run from any thread, also concurrently (the runtime's sessions allow it); the rest
// is fixed after Open.
class InferenceSession {
  public:
    struct Handles;
    // Throws OnnxError for the runtime's failures (a file that is no model, for one).
    static std::unique_ptr<InferenceSession> Open(const std::filesystem::path& model,
                                                  const InferenceOptions& options);
    explicit InferenceSession(std::unique_ptr<Handles> handles);
    ~InferenceSession();
    InferenceSession(const InferenceSession&) = delete;
    InferenceSession& operator=(const InferenceSession&) = delete;

    const std::vector<std::string>& InputNames() const { return m_inputNames; }
    const std::vector<std::string>& OutputNames() const { return m_outputNames; }
    // Dimensions of input 0 and output 0 as the model declares them; -1 where dynamic.
    const std::vector<int64_t>& InputShape() const { return m_inputShape; }
    const std::vector<int64_t>& OutputShape() const { return m_outputShape; }
    // True when a GPU provider runs the network; the CPU provider otherwise.
    bool UsesGpuProvider() const { return m_gpuProvider; }

    // Runs the model on float input 0 of `shape` and returns the elements of float output 0.
    // Throws OnnxError.
    void Run(std::span<const float> input, std::span<const int64_t> shape,
             std::vector<float>* output0);

  private:
    void ReadSignature();

    std::unique_ptr<Handles> m_handles;
    std::vector<std::string> m_inputNames;
    std::vector<std::string> m_outputNames;
    std::vector<int64_t> m_inputShape;
    std::vector<int64_t> m_outputShape;
    bool m_gpuProvider = false;
};

}  // namespace tamro::platform::ml
