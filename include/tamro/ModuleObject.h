#pragma once

#include <cstdint>

#include "tamro/Export.h"

namespace tamro {

// Base of every object the module hands out (class instances, factories, handlers, asynchronous
// operations). Construction and destruction move one module-wide atomic count, which decides
// whether the module may be unloaded.
class TAMRO_API ModuleObject {
  protected:
    ModuleObject() noexcept;
    ModuleObject(const ModuleObject&) noexcept;
    ModuleObject& operator=(const ModuleObject&) noexcept { return *this; }
    ~ModuleObject();
};

// Objects of this module alive right now.
int64_t LiveObjectCount() noexcept;

}  // namespace tamro
