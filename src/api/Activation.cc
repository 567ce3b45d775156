#include "tamro/Activation.h"

namespace tamro {

std::shared_ptr<Object> ActivateInstance(std::string_view className) {
    std::shared_ptr<ActivationFactory> factory;
    if (Failed(ActivationFactory::Find(className, &factory))) {
        return nullptr;
    }
    return factory->ActivateInstance();
}

}  // namespace tamro
