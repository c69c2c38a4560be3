// Charge limit operations of NativePowerController.

#include <string>

#include "common/native_control_error.h"
#include "control/power_controller.h"

namespace ampervale {

namespace {

using Mode = NativePowerController::Mode;

constexpr int64_t kLowestLimit = 30;
constexpr int64_t kNoLimit = 100;

const std::string kLimiterKey = "bfF0";
const std::string kUpperThresholdKey = "bfD0";
const std::string kLowerThresholdKey = "bfE0";
const std::string kPairFirstKey = "CH0B";
const std::string kPairSecondKey = "CH0C";
const std::string kSingleKey = "CHTE";

// A percentage in the first byte of a four-byte little-endian value.
std::vector<uint8_t> FourBytes(int64_t value) {
  return {static_cast<uint8_t>(value), 0x00, 0x00, 0x00};
}

// The firmware keys as they were before a change.
struct FirmwareState {
  std::vector<uint8_t> limiter;
  std::vector<uint8_t> upper;
  std::vector<uint8_t> lower;
};

// Best effort: the original failure matters more than any of these, so
// their own failures are dropped and every write is attempted. The limiter
// goes off first so that it never runs against half-restored thresholds.
void RollBackFirmware(NativeSMCAccess& smc, const FirmwareState& saved) {
  const std::pair<std::string, std::vector<uint8_t>> writes[] = {
      {kLimiterKey, {kLimiterOff}},
      {kUpperThresholdKey, saved.upper},
      {kLowerThresholdKey, saved.lower},
      {kLimiterKey, saved.limiter},
  };
  for (const auto& [key, bytes] : writes) {
    try {
      smc.write(key, bytes);
    } catch (...) {
    }
  }
}

}  // namespace

void NativePowerController::applyLimit(int64_t limit,
                                       std::optional<int64_t> percentage) {
  if (limit < kLowestLimit || limit > kNoLimit) {
    throw NativeControlError("Charge limit must be between 30 and 100");
  }
  validateChargeSupport();
  if (limit == kNoLimit) {
    restoreCharging();
    return;
  }
  if (mode_ == Mode::firmware) {
    applyFirmwareLimit(limit);
    return;
  }
  if (!percentage || *percentage < 0 || *percentage > 100) {
    throw NativeControlError(
        "Waiting for a valid battery percentage; hardware state was "
        "preserved");
  }
  // No hysteresis: the daemon calls this every pass, and deciding afresh
  // each time holds the battery at the limit.
  setLegacyCharging(*percentage < limit);
}

void NativePowerController::applyFirmwareLimit(int64_t limit) {
  const std::vector<uint8_t> upper = FourBytes(limit);
  const std::vector<uint8_t> lower = FourBytes(limit - 1);
  FirmwareState saved;
  saved.limiter = smc_->read(kLimiterKey);
  saved.upper = smc_->read(kUpperThresholdKey);
  saved.lower = smc_->read(kLowerThresholdKey);
  if (saved.limiter == std::vector<uint8_t>{kLimiterOn} &&
      saved.upper == upper && saved.lower == lower) {
    return;
  }
  try {
    // The limiter is off while its thresholds change.
    setKey(kLimiterKey, {kLimiterOff});
    setKey(kUpperThresholdKey, upper);
    setKey(kLowerThresholdKey, lower);
    setKey(kLimiterKey, {kLimiterOn});
  } catch (...) {
    RollBackFirmware(*smc_, saved);
    throw;
  }
}

void NativePowerController::restoreCharging() {
  validateChargeSupport();
  if (mode_ == Mode::firmware) {
    setKey(kLimiterKey, {kLimiterOff});
  } else {
    setLegacyCharging(true);
  }
}

void NativePowerController::setLegacyCharging(bool enabled) {
  if (mode_ == Mode::legacySingle) {
    setKey(kSingleKey, FourBytes(enabled ? kSingleChargingAllowed
                                         : kSingleChargingInhibited));
    return;
  }
  if (mode_ != Mode::legacyPair) {
    throw NativeControlError("Direct charging control is unavailable");
  }
  const std::vector<uint8_t> saved = smc_->read(kPairFirstKey);
  const std::vector<uint8_t> value = {enabled ? kPairChargingAllowed
                                              : kPairChargingInhibited};
  setKey(kPairFirstKey, value);
  try {
    setKey(kPairSecondKey, value);
  } catch (...) {
    // Keeps the two keys from disagreeing; the CH0C failure is what the
    // caller needs to see.
    try {
      smc_->write(kPairFirstKey, saved);
    } catch (...) {
    }
    throw;
  }
}

}  // namespace ampervale
