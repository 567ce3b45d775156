#pragma once

#include <memory>
#include <string_view>

#include "tamro/Export.h"
#include "tamro/ModuleObject.h"
#include "tamro/Object.h"
#include "tamro/ResultCode.h"

namespace tamro {

// Makes default instances of one runtime class of this module. Immutable, so usable from any
// thread; obtained from Find (or TamroGetActivationFactory), one new factory per call.
class TAMRO_API ActivationFactory final : public ModuleObject {
  public:
    using Creator = std::shared_ptr<Object> (*)();

    ActivationFactory(std::string_view className, Creator creator) noexcept
        : m_className(className), m_creator(creator) {}

    std::string_view ClassName() const noexcept { return m_className; }
    std::shared_ptr<Object> ActivateInstance() const { return m_creator(); }

    // kOk with the factory of a class this module implements (names match exactly, case
    // included); kPointer for a null `factory`; kClassNotAvailable for any other name. Every call
    // replaces the calling thread's error information: the reason on failure, "" on success.
    static ResultCode Find(std::string_view className, std::shared_ptr<ActivationFactory>* factory);

    // The calling thread's error information, valid until its next Find.
    static const char* LastErrorInfo() noexcept;

  private:
    std::string_view m_className;
    Creator m_creator;
};

}  // namespace tamro
