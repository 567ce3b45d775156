#pragma once

#include <string_view>

#include "tamro/Export.h"
#include "tamro/ModuleObject.h"

namespace tamro {

// Root of the runtime classes: what an activation factory produces and what callers cast from.
class TAMRO_API Object : public ModuleObject {
  public:
    virtual ~Object() = default;
    virtual std::string_view ClassName() const noexcept = 0;

  protected:
    Object() = default;
    Object(const Object&) = default;
    Object& operator=(const Object&) = default;
};

}  // namespace tamro
