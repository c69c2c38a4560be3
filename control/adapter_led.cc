// Adapter and MagSafe LED operations of NativePowerController.

#include <algorithm>
#include <string>

#include "common/native_control_error.h"
#include "control/power_controller.h"

namespace ampervale {

namespace {

const AdapterKeyValue& AdapterValuesOf(const std::optional<std::string>& key) {
  if (!key) {
    throw NativeControlError(
        "Adapter power control is unsupported by this firmware");
  }
  // The probe only ever picks a key of this table.
  return *std::find_if(
      kAdapterKeys.begin(), kAdapterKeys.end(),
      [&](const AdapterKeyValue& candidate) { return candidate.key == *key; });
}

}  // namespace

bool NativePowerController::adapterEnabled() const {
  const AdapterKeyValue& values = AdapterValuesOf(adapterKey_);
  return smc_->read(std::string(values.key)) ==
         std::vector<uint8_t>{kAdapterEnabled};
}

void NativePowerController::setAdapter(bool enabled) {
  const AdapterKeyValue& values = AdapterValuesOf(adapterKey_);
  setKey(values.key, {enabled ? kAdapterEnabled : values.disabled});
}

void NativePowerController::setLED(const std::string& mode) {
  auto found = std::find_if(
      kLEDModes.begin(), kLEDModes.end(),
      [&](const LEDModeValue& candidate) { return candidate.name == mode; });
  if (found == kLEDModes.end()) {
    throw NativeControlError("Unsupported MagSafe mode");
  }
  // The LED key is not part of the probe's decisions, so its width is
  // checked here, before anything is written.
  if (smc_->read(std::string(kLEDKey)).size() != 1) {
    throw NativeControlError("Unsupported ACLC payload width");
  }
  setKey(kLEDKey, {found->value});
}

}  // namespace ampervale
