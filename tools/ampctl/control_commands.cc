#include "tools/ampctl/control_commands.h"

#include <ostream>

#include "common/native_control_error.h"

namespace ampervale::Commands {

namespace {

// A limit of 100 is stored as no limit at all.
constexpr int64_t kNoLimit = 100;
// Below this level the adapter may not be cut off.
constexpr int64_t kLowestLevelToDisableAdapter = 4;

// The last step of a command's transaction: a change whose confirmation
// never reached its reader is rolled back like any failed one.
NativePowerStore::Confirm Verified(const Invocation& shared) {
  return [&shared] {
    if (!(*shared.context.out << "Hardware operation verified\n"
                              << std::flush)) {
      throw NativeControlError("Cannot write to standard output");
    }
  };
}

// The stored LED mode for a command word; "disable" stores none.
std::optional<std::string> LEDModeFor(const std::string& word) {
  if (word == "disable") return std::nullopt;
  if (word == "enable") return "system";
  if (word == "always-off") return "off";
  return word;
}

}  // namespace

void limit(int64_t limit, Invocation& shared) {
  shared.store.update(
      [&](NativePowerPolicy& policy) {
        bool restore = limit == kNoLimit;
        policy.upperLimit =
            restore ? std::nullopt : std::optional<int64_t>(limit);
        policy.restoreChargingRequested = restore;
      },
      [&](const NativePowerPolicy&) {
        shared.controller->applyLimit(limit,
                                      shared.context.batteryPercentage());
      },
      Verified(shared));
}

void disable(Invocation& shared) {
  shared.store.update(
      [](NativePowerPolicy& policy) {
        policy.upperLimit.reset();
        policy.restoreChargingRequested = true;
      },
      [&](const NativePowerPolicy&) { shared.controller->restoreCharging(); },
      Verified(shared));
}

void adapter(bool enable, Invocation& shared) {
  if (!enable) {
    std::optional<int64_t> level = shared.context.batteryPercentage();
    if (!level || *level < kLowestLevelToDisableAdapter) {
      throw NativeControlError(
          "Cannot disable adapter power without valid battery data above 3%");
    }
  }
  shared.store.update(
      [&](NativePowerPolicy& policy) { policy.adapterEnabled = enable; },
      [&](const NativePowerPolicy&) { shared.controller->setAdapter(enable); },
      Verified(shared));
}

void magsafeLED(const NativeBackendTool::Arguments& arguments,
                Invocation& shared) {
  updateLEDPolicy(shared.store, LEDModeFor(arguments.at(1)), *shared.controller,
                  Verified(shared));
}

void updateLEDPolicy(NativePowerStore& store,
                     const std::optional<std::string>& mode,
                     NativePowerController& controller,
                     const NativePowerStore::Confirm& confirm) {
  store.update([&](NativePowerPolicy& policy) { policy.ledMode = mode; },
               [&](const NativePowerPolicy&) {
                 if (mode) controller.setLED(*mode);
               },
               confirm);
}

void restoreSystemCharging(const PowerToolContext& context) {
  NativePowerController controller(context.openSMC());
  if (controller.mode() == NativePowerController::Mode::unsupported) {
    *context.out << "No legacy firmware charge control is available\n";
    return;
  }
  controller.restoreCharging();
  *context.out << "Legacy firmware charge control restored\n";
}

}  // namespace ampervale::Commands
