#include <new>
#include <string_view>

#include "tamro/Activation.h"
#include "tamro/ModuleObject.h"
#include "tamro/ResultCode.h"

// No exception may cross these: the callers are hosts that know only result codes.
extern "C" {

__attribute__((visibility("default"))) int32_t TamroGetActivationFactory(
    const char* className, size_t length, std::shared_ptr<tamro::ActivationFactory>* factory) {
    if (className == nullptr || factory == nullptr) {
        return tamro::kPointer;
    }
    try {
        return tamro::ActivationFactory::Find(std::string_view(className, length), factory);
    } catch (const std::bad_alloc&) {
        return tamro::kOutOfMemory;
    } catch (...) {
        return tamro::kFail;
    }
}

__attribute__((visibility("default"))) int32_t TamroCanUnloadNow() {
    return tamro::LiveObjectCount() == 0 ? tamro::kOk : tamro::kFalse;
}

__attribute__((visibility("default"))) const char* TamroGetLastErrorInfo() {
    return tamro::ActivationFactory::LastErrorInfo();
}
}
