#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "tamro/Export.h"

namespace tamro {

// The engine's diagnostic lines ("[Component] text\n") go to standard error unless muted here; an
// application with its own display mutes them and reads them through a listener.
TAMRO_API void SetDiagnosticsToStandardError(bool enabled);

// Receives every diagnostic line, on the thread that writes it, while it lives. The function must
// not call into the recorder.
class TAMRO_API DiagnosticsListener {
  public:
    explicit DiagnosticsListener(std::function<void(std::string_view line)> listener);
    ~DiagnosticsListener();
    DiagnosticsListener(const DiagnosticsListener&) = delete;
    DiagnosticsListener& operator=(const DiagnosticsListener&) = delete;

  private:
    struct Subscription;
    std::unique_ptr<Subscription> m_subscription;
};

}  // namespace tamro
