#pragma once

#include <stdexcept>
#include <string>

#include "tamro/Export.h"
#include "tamro/ResultCode.h"

namespace tamro {

// Thrown by an event handler whose object has gone away; the event then drops the handler.
class TAMRO_API DisconnectedError : public std::runtime_error {
  public:
    explicit DisconnectedError(ResultCode code = kDisconnected)
        : std::runtime_error("event handler disconnected"), m_code(code) {}

    ResultCode Code() const noexcept { return m_code; }
    bool MeansDisconnected() const noexcept {
        return m_code == kDisconnected || m_code == kServerUnavailable;
    }

  private:
    ResultCode m_code;
};

}  // namespace tamro
