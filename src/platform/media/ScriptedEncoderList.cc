#include "platform/media/ScriptedEncoderList.h"

#include <functional>
#include <mutex>

namespace tamro::platform::media {

struct ScriptedEncoderList::Record {
    std::mutex mutex;
    MediaType lastOutputType;
};

namespace {

class ScriptedTransform final : public EncoderTransform {
  public:
    ScriptedTransform(ScriptedEncoder script, std::function<void(const MediaType&)> onOutputType)
        : m_script(std::move(script)), m_onOutputType(std::move(onOutputType)) {}

    ResultCode SetOutputType(const MediaType& type) override {
        m_onOutputType(type);
        m_outputSet = Succeeded(m_script.setOutputTypeResult);
        return m_script.setOutputTypeResult;
    }

    ResultCode GetInputAvailableType(uint32_t index, Guid* subtype) override {
        if (!m_outputSet)
            return kNotInitialized;
        if (index >= m_script.inputTypes.size())
            return kNoMoreTypes;
        *subtype = m_script.inputTypes[index];
        return kOk;
    }

  private:
    ScriptedEncoder m_script;
    std::function<void(const MediaType&)> m_onOutputType;
    bool m_outputSet = false;
};

class ScriptedActivation final : public EncoderActivation {
  public:
    ScriptedActivation(ScriptedEncoder script, std::shared_ptr<std::atomic<int>> activations,
                       std::function<void(const MediaType&)> onOutputType)
        : m_script(std::move(script)),
          m_activations(std::move(activations)),
          m_onOutputType(std::move(onOutputType)) {}

    std::optional<std::string> FriendlyName() const override { return m_script.friendlyName; }
    bool IsHardware() const override { return m_script.hardware; }
    uint32_t AcceptsGpuDevice() const override { return m_script.acceptsGpuDevice; }

    ResultCode Activate(std::unique_ptr<EncoderTransform>* transform) override {
        m_activations->fetch_add(1);
        if (Failed(m_script.activateResult))
            return m_script.activateResult;
        *transform = std::make_unique<ScriptedTransform>(m_script, m_onOutputType);
        return kOk;
    }

  private:
    ScriptedEncoder m_script;
    std::shared_ptr<std::atomic<int>> m_activations;
    std::function<void(const MediaType&)> m_onOutputType;
};

}  // namespace

ScriptedEncoderList::ScriptedEncoderList(std::vector<ScriptedEncoder> encoders,
                                         ResultCode enumerateResult)
    : m_encoders(std::move(encoders)),
      m_enumerateResult(enumerateResult),
      m_activations(std::make_shared<std::atomic<int>>(0)),
      m_record(std::make_shared<Record>()) {}

ResultCode ScriptedEncoderList::Enumerate(
    uint32_t flags, std::vector<std::unique_ptr<EncoderActivation>>* found) const {
    found->clear();
    if (Failed(m_enumerateResult))
        return m_enumerateResult;
    auto onOutputType = [record = m_record](const MediaType& type) {
        std::lock_guard lock(record->mutex);
        record->lastOutputType = type;
    };
    // Hardware first, as sort-and-filter orders them; otherwise in script order.
    for (const bool hardwarePass : {true, false}) {
        for (const ScriptedEncoder& encoder : m_encoders) {
            const bool wanted = encoder.hardware ? (flags & kEnumHardware) != 0
                                                 : (flags & (kEnumSync | kEnumAsync)) != 0;
            if (wanted && encoder.hardware == hardwarePass) {
                found->push_back(
                    std::make_unique<ScriptedActivation>(encoder, m_activations, onOutputType));
            }
        }
    }
    return kOk;
}

MediaType ScriptedEncoderList::LastOutputType() const {
    std::lock_guard lock(m_record->mutex);
    return m_record->lastOutputType;
}

}  // namespace tamro::platform::media
