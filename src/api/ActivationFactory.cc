#include "tamro/ActivationFactory.h"

#include <array>
#include <string>

#include "tamro/NativeRecorder.h"
#include "tamro/RecordingConfig.h"
#include "tamro/RecordingProgress.h"
#include "tamro/RnNoiseAudioEffect.h"

namespace tamro {
namespace {

struct ClassEntry {
    std::string_view name;
    ActivationFactory::Creator creator;
};

template <typename T>
std::shared_ptr<Object> MakeDefault() {
    return std::make_shared<T>();
}

std::shared_ptr<Object> MakeRecorder() {
    return NativeRecorder::Create();
}

constexpr std::array kClasses{
    ClassEntry{NativeRecorder::kClassName, &MakeRecorder},
    ClassEntry{RecordingConfig::kClassName, &MakeDefault<RecordingConfig>},
    ClassEntry{RecordingProgress::kClassName, &MakeDefault<RecordingProgress>},
    ClassEntry{RnNoiseAudioEffect::kClassName, &MakeDefault<RnNoiseAudioEffect>},
};

std::string& ThreadErrorInfo() {
    thread_local std::string text;
    return text;
}

const ClassEntry* Lookup(std::string_view className) {
    for (const ClassEntry& entry : kClasses) {
        // The length check rejects most names without reading them.
        if (className.size() == entry.name.size() && className == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

ResultCode ActivationFactory::Find(std::string_view className,
                                   std::shared_ptr<ActivationFactory>* factory) {
    if (factory == nullptr) {
        return kPointer;
    }
    factory->reset();
    const ClassEntry* entry = Lookup(className);
    if (entry == nullptr) {
        ThreadErrorInfo() = "Class not available: " + std::string(className);
        return kClassNotAvailable;
    }
    *factory = std::make_shared<ActivationFactory>(entry->name, entry->creator);
    ThreadErrorInfo().clear();
    return kOk;
}

const char* ActivationFactory::LastErrorInfo() noexcept {
    return ThreadErrorInfo().c_str();
}

}  // namespace tamro
