#include "sim/physics.h"

#include <algorithm>
#include <cstdio>

#include "sim/hex.h"

namespace ampervale::sim {

namespace {

constexpr double kSecondsPerHour = 3600;

bool Holds(const SMCModel& smc, const std::string& key,
           const std::vector<uint8_t>& value) {
  return smc.Value(key) == value;
}

std::string CutOffBy(const SMCModel& smc, const std::string& adapter_key) {
  uint8_t disabled = adapter_key == "CHIE" ? 0x08 : 0x01;
  if (adapter_key.empty() || !Holds(smc, adapter_key, {disabled})) return "";
  return adapter_key + " " + ToHex({disabled});
}

std::string InhibitedBy(const SMCModel& smc) {
  for (const char* key : {"CH0B", "CH0C"}) {
    if (Holds(smc, key, {0x02})) return std::string(key) + " 02";
  }
  if (Holds(smc, "CHTE", {0x01, 0x00, 0x00, 0x00})) return "CHTE 01000000";
  return "";
}

double PercentOf(const std::vector<uint8_t>& bytes) {
  return static_cast<double>(std::min<uint64_t>(LittleEndianValue(bytes), 100));
}

void ReadFirmwareLimiter(const SMCModel& smc, ChargeControls& controls) {
  std::optional<std::vector<uint8_t>> limit = smc.Value("bfD0");
  if (!Holds(smc, "bfF0", {0x02}) || !limit) return;
  controls.firmware_limit = PercentOf(*limit);
  std::optional<std::vector<uint8_t>> resume = smc.Value("bfE0");
  controls.firmware_resume =
      std::min(resume ? PercentOf(*resume) : 100.0, *controls.firmware_limit);
}

bool FirmwareHolds(const Battery& battery, const ChargeControls& controls) {
  return controls.firmware_limit && (battery.firmware_holding ||
                                     battery.level >= *controls.firmware_limit);
}

bool HeldAt80(const Battery& battery) {
  return battery.held_at_80 && battery.level >= kFastChargeEnd;
}

void UpdateFirmwareHold(Battery& battery, const ChargeControls& controls) {
  if (!controls.firmware_limit) {
    battery.firmware_holding = false;
  } else if (battery.level >= *controls.firmware_limit) {
    battery.firmware_holding = true;
  } else if (battery.level <= controls.firmware_resume) {
    battery.firmware_holding = false;
  }
}

}  // namespace

std::string PercentText(double percent) {
  char text[32];
  std::snprintf(text, sizeof text, "%g %%", percent);
  return text;
}

std::string_view PowerStateName(PowerState state) {
  switch (state) {
    case PowerState::kCharging:
      return "charging";
    case PowerState::kHolding:
      return "holding";
    case PowerState::kDraining:
      return "draining";
    case PowerState::kNoBattery:
      return "no battery";
  }
  return "unknown";
}

ChargeControls ReadChargeControls(const SMCModel& smc,
                                  const std::string& adapter_key,
                                  bool adapter_connected) {
  ChargeControls controls;
  controls.adapter_connected = adapter_connected;
  controls.cut_off_by = CutOffBy(smc, adapter_key);
  controls.inhibited_by = InhibitedBy(smc);
  ReadFirmwareLimiter(smc, controls);
  return controls;
}

PowerState StateOf(const Battery& battery, const ChargeControls& controls) {
  if (!controls.adapter_supplies()) return PowerState::kDraining;
  if (battery.level >= 100 || !controls.inhibited_by.empty() ||
      FirmwareHolds(battery, controls) || HeldAt80(battery)) {
    return PowerState::kHolding;
  }
  return PowerState::kCharging;
}

std::string ReasonOf(const Battery& battery, const ChargeControls& controls) {
  if (!controls.adapter_connected) return "adapter unplugged";
  if (!controls.cut_off_by.empty()) {
    return "adapter cut off by " + controls.cut_off_by;
  }
  if (battery.level >= 100) return "battery full";
  if (!controls.inhibited_by.empty()) {
    return "charging inhibited by " + controls.inhibited_by;
  }
  if (HeldAt80(battery)) return "optimized charging holds at 80 %";
  if (FirmwareHolds(battery, controls)) {
    return "firmware limit " + PercentText(*controls.firmware_limit) +
           ", resumes at " + PercentText(controls.firmware_resume);
  }
  if (controls.firmware_limit) {
    return "up to the firmware limit " + PercentText(*controls.firmware_limit);
  }
  return "adapter supplying power";
}

double ChargedLevel(const Battery& battery, double top, double hours) {
  double level = battery.level;
  double below = battery.charge_rate;
  double above = battery.charge_rate_above_80.value_or(below);
  if (level < kFastChargeEnd && top > kFastChargeEnd && below > 0) {
    double fast_hours = (kFastChargeEnd - level) / below;
    if (hours <= fast_hours) return std::min(top, level + below * hours);
    hours -= fast_hours;
    level = kFastChargeEnd;
  }
  double rate = level >= kFastChargeEnd ? above : below;
  return std::min(top, level + rate * hours);
}

PowerState Advance(Battery& battery, const ChargeControls& controls,
                   double seconds) {
  UpdateFirmwareHold(battery, controls);
  double hours = std::max(seconds, 0.0) / kSecondsPerHour;
  switch (StateOf(battery, controls)) {
    case PowerState::kCharging: {
      double top = controls.firmware_limit.value_or(100.0);
      if (battery.held_at_80) top = std::min(top, kFastChargeEnd);
      battery.level = ChargedLevel(battery, top, hours);
      break;
    }
    case PowerState::kDraining:
      battery.level = std::max(0.0, battery.level - battery.drain_rate * hours);
      break;
    default:
      break;
  }
  UpdateFirmwareHold(battery, controls);
  return StateOf(battery, controls);
}

std::string LedColour(const std::optional<std::vector<uint8_t>>& aclc,
                      PowerState state, bool adapter_connected) {
  if (!adapter_connected) return "off";
  uint8_t mode = aclc && aclc->size() == 1 ? (*aclc)[0] : 0x00;
  if (aclc && aclc->size() != 1) return "unknown (ACLC " + ToHex(*aclc) + ")";
  switch (mode) {
    case 0x00:
      return state == PowerState::kCharging ? "amber" : "green";
    case 0x01:
      return "off";
    case 0x03:
      return "green";
    case 0x04:
      return "amber";
    case 0x06:
      return "slow-blink amber";
    case 0x07:
      return "fast-blink amber";
    case 0x25:
      return "blink amber/off";
    default:
      return "unknown (ACLC " + ToHex({mode}) + ")";
  }
}

SimulatedClock::SimulatedClock(std::function<double()> real_seconds,
                               double scale)
    : real_seconds_(std::move(real_seconds)),
      scale_(scale),
      last_(real_seconds_()) {}

double SimulatedClock::Elapsed() {
  double now = real_seconds_();
  double elapsed = std::max(now - last_, 0.0) * scale_;
  last_ = now;
  return elapsed;
}

}  // namespace ampervale::sim
