#ifndef AMPERVALE_CONTROL_POWER_CONTROLLER_H_
#define AMPERVALE_CONTROL_POWER_CONTROLLER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "control/controller_tables.h"
#include "smc/smc_transport.h"

namespace ampervale {

// The one object through which the system drives charging hardware: the
// charge limit, the power adapter and the MagSafe LED, all through SMC keys.
//
// Which keys the firmware offers is decided once, by probing at
// construction; the decisions never change afterwards, so a firmware change
// is seen only by a new controller (or, for the charge keys, refused by
// validateChargeSupport()).
//
// Every hardware change reads before it writes and writes only keys whose
// bytes differ from the wanted value, so repeating an operation on hardware
// that is already in line reads but writes nothing. Every failure is thrown;
// failures of the SMC access pass through unchanged. Messages ending in
// "; hardware state was preserved" are only thrown before anything was
// written. Used from one thread; callers that change hardware serialise
// across processes with the policy lock.
class NativePowerController {
 public:
  enum class Mode { firmware, legacyPair, legacySingle, unsupported };

  // Exact, case-sensitive match of a raw value; anything else is absent.
  static std::optional<Mode> ModeFromString(std::string_view raw);
  static std::string_view RawValue(Mode mode);

  // Probes the ten capability keys in their fixed order, reading each once.
  // Never throws: a key whose read fails gets the failure's text as its
  // diagnostic and counts as absent. REQUIRES: smc is not null.
  explicit NativePowerController(std::shared_ptr<NativeSMCAccess> smc);

  Mode mode() const { return mode_; }
  // The first of CH0I, CH0J, CHIE that answered with one byte, if any.
  const std::optional<std::string>& adapterKey() const { return adapterKey_; }
  // One text per probed key: "available (N bytes)", "unexpected payload
  // width N, expected E", or the read failure's text.
  const std::map<std::string, std::string>& capabilityDiagnostics() const {
    return capabilityDiagnostics_;
  }

  // Re-reads the mode's charge keys and throws unless each still has its
  // width. Only reads. In unsupported mode it throws "Charging control
  // unavailable. ..." without SMC access.
  void validateChargeSupport() const;

  // Puts `limit` (30 to 100; 100 means no limit) into the hardware. The
  // legacy modes need `percentage` (0 to 100) to choose between allowing
  // and inhibiting charging; firmware mode ignores it. In firmware mode a
  // failure while changing keys writes the keys read before the change back
  // (limiter off first) and then throws the original failure.
  void applyLimit(int64_t limit, std::optional<int64_t> percentage);

  // Hands charging back to the system. Firmware mode only switches the
  // limiter off and leaves the thresholds as they are.
  void restoreCharging();

  // Throws "Adapter power control is unsupported by this firmware" without
  // SMC access when there is no adapter key.
  bool adapterEnabled() const;
  void setAdapter(bool enabled);

  // `mode` is a name of kLEDModes. An unknown name is refused before any SMC
  // access, an `ACLC` that is not one byte wide before anything is written.
  void setLED(const std::string& mode);

  // The battery's charge as a whole percentage, absent when it cannot be
  // read or makes no sense. Needs no controller; never throws.
  static std::optional<int64_t> batteryPercentage();

 private:
  void setLegacyCharging(bool enabled);
  void applyFirmwareLimit(int64_t limit);
  // Read-compare-write: writes `value` only when the key holds other bytes.
  void setKey(std::string_view key, const std::vector<uint8_t>& value);
  std::span<const KeyWidth> chargeKeys() const;

  Mode mode_;
  std::shared_ptr<NativeSMCAccess> smc_;
  std::optional<std::string> adapterKey_;
  std::map<std::string, std::string> capabilityDiagnostics_;
};

}  // namespace ampervale

#endif  // AMPERVALE_CONTROL_POWER_CONTROLLER_H_
