#pragma once

// Entry points of libtamro: activation by class name and the unload check. The C entry points
// are what a host looks up by name; ActivateInstance is the in-process shortcut.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "tamro/ActivationFactory.h"
#include "tamro/Export.h"
#include "tamro/Object.h"

extern "C" {

// kOk with a new factory in *factory; kPointer for a null argument; kClassNotAvailable
// (0x80040111) for a class this module does not implement, with TamroGetLastErrorInfo() naming it.
TAMRO_API int32_t TamroGetActivationFactory(const char* className, size_t length,
                                            std::shared_ptr<tamro::ActivationFactory>* factory);

// kOk (0) when no object of the module is alive (instances, factories, event handlers,
// asynchronous operations), else kFalse (1).
TAMRO_API int32_t TamroCanUnloadNow();

// The calling thread's error information from its latest activation ("" after a success).
TAMRO_API const char* TamroGetLastErrorInfo();
}

namespace tamro {

// A new instance of the named class, or null when this module does not implement it.
TAMRO_API std::shared_ptr<Object> ActivateInstance(std::string_view className);

}  // namespace tamro
