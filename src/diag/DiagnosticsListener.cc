#include "platform/system/DebugOutput.h"
#include "tamro/Diagnostics.h"

namespace tamro {

void SetDiagnosticsToStandardError(bool enabled) {
    platform::SetDebugOutputToStandardError(enabled);
}

struct DiagnosticsListener::Subscription {
    explicit Subscription(std::function<void(std::string_view)> listener)
        : subscription(std::move(listener)) {}
    platform::DebugOutputSubscription subscription;
};

DiagnosticsListener::DiagnosticsListener(std::function<void(std::string_view line)> listener)
    : m_subscription(std::make_unique<Subscription>(std::move(listener))) {}

DiagnosticsListener::~DiagnosticsListener() = default;

}  // namespace tamro
