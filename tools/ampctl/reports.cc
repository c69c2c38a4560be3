#include "tools/ampctl/reports.h"

#include <nlohmann/json.hpp>
#include <ostream>

#include "common/messages.h"
#include "common/native_control_error.h"

namespace ampervale::Reports {

namespace {

bool Mentions(const std::string& text, const char* area) {
  return text.find(area) != std::string::npos;
}

// A heartbeat error fails the status unless it only concerns the adapter or
// the MagSafe LED.
void JudgeHeartbeatError(const std::optional<std::string>& error) {
  if (!error) return;
  if (Mentions(*error, "Charging:") ||
      (!Mentions(*error, "Adapter:") && !Mentions(*error, "MagSafe:"))) {
    throw NativeControlError(*error);
  }
}

}  // namespace

void capabilities(const PowerToolContext& context) {
  NativePowerController controller(context.openSMC());
  nlohmann::json report = {
      {"backend", kVersionLine},
      {"chargeMode", NativePowerController::RawValue(controller.mode())},
      {"effectiveUID", static_cast<uint32_t>(context.effectiveUID)},
      {"keys", controller.capabilityDiagnostics()},
      {"macOS", context.operatingSystemVersion()},
  };
  // nlohmann::json keeps object members sorted by key at every level.
  *context.out << report.dump(2, ' ', false,
                              nlohmann::json::error_handler_t::replace)
               << '\n';
}

void status(Invocation& shared) {
  JudgeHeartbeatError(shared.store.health(shared.store.now()).error);
  shared.controller->validateChargeSupport();
  NativePowerPolicy policy =
      shared.store.withPolicyLock([&] { return shared.store.loadPolicy(); });
  std::string limit =
      policy.upperLimit ? std::to_string(*policy.upperLimit) : "disabled";
  *shared.context.out << "Charge backend ready ("
                      << NativePowerController::RawValue(
                             shared.controller->mode())
                      << "); limit: " << limit << '\n';
}

void adapterStatus(Invocation& shared) {
  shared.store.health(shared.store.now());
  bool enabled = shared.controller->adapterEnabled();
  *shared.context.out << (enabled ? "Power adapter is enabled"
                                  : "Power adapter is disabled")
                      << '\n';
}

}  // namespace ampervale::Reports
