#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/EncoderList.h"

namespace tamro::platform::media {

// One encoder of a scripted machine: what it answers at each step of discovery.
struct ScriptedEncoder {
    std::optional<std::string> friendlyName;
    bool hardware = false;
    uint32_t acceptsGpuDevice = 0;
    ResultCode activateResult = kOk;
    ResultCode setOutputTypeResult = kOk;
    std::vector<Guid> inputTypes;
};

// An encoder list that answers as scripted, for tests of discovery and of hardware detection.
// Counts activations so tests can tell whether discovery ran.
// Threading: any thread.
class ScriptedEncoderList final : public EncoderList {
  public:
    explicit ScriptedEncoderList(std::vector<ScriptedEncoder> encoders,
                                 ResultCode enumerateResult = kOk);

    ResultCode Enumerate(uint32_t flags,
                         std::vector<std::unique_ptr<EncoderActivation>>* found) const override;

    int Activations() const { return m_activations->load(); }
    // The output type most recently offered to any of the encoders.
    MediaType LastOutputType() const;

  private:
    struct Record;

    std::vector<ScriptedEncoder> m_encoders;
    ResultCode m_enumerateResult;
    std::shared_ptr<std::atomic<int>> m_activations;
    std::shared_ptr<Record> m_record;
};

}  // namespace tamro::platform::media
