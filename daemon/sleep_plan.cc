#include "daemon/sleep_plan.h"

#include <algorithm>
#include <cmath>

namespace ampervale {

namespace {

using Mode = NativePowerController::Mode;
using Charging = SleepPlan::Charging;

constexpr double kSecondsPerHour = 3600;
constexpr int64_t kNoLimit = 100;

bool HoldsLimit(const SleepInputs& inputs) {
  bool legacy =
      inputs.mode == Mode::legacyPair || inputs.mode == Mode::legacySingle;
  return legacy && inputs.limit && *inputs.limit < kNoLimit;
}

// Charging allowed up to a wake, or inhibited when the wake would come too
// soon, the level is unknown, the machine runs on its battery, or a wake is
// booked already for the cut-off adapter (nothing charges until then).
SleepPlan PlanCharging(const SleepInputs& inputs, SleepPlan plan) {
  if (!HoldsLimit(inputs)) return plan;
  plan.charging = Charging::kInhibit;
  bool onBattery = inputs.pluggedIn == false && !inputs.adapterCutOff;
  if (!inputs.level || onBattery || plan.wakeAfter) return plan;
  // The battery may already be one percent above the level read.
  auto headroom = static_cast<double>(*inputs.limit - *inputs.level);
  double seconds = headroom / inputs.percentPerHour * kSecondsPerHour;
  if (seconds >= kShortestWake) {
    plan.charging = Charging::kAllow;
    plan.wakeAfter = seconds;
  }
  return plan;
}

}  // namespace

SleepPlan PlanSleep(const SleepInputs& inputs) {
  SleepPlan plan;
  if (inputs.adapterCutOff) {
    // Draining on the charger: look again before the battery can reach
    // the safety level, or switch the adapter back on now.
    double seconds =
        static_cast<double>(inputs.level.value_or(kAdapterSafetyPercentage) -
                            kAdapterSafetyPercentage) /
        kFastestDrainPerHour * kSecondsPerHour;
    if (seconds >= kShortestWake) {
      plan.wakeAfter = seconds;
    } else {
      plan.adapterOn = true;
    }
  }
  return PlanCharging(inputs, plan);
}

void ChargeRate::Measured(double gained, double seconds) {
  if (gained <= 0 || !(seconds > 0)) {
    perHour_.reset();
    return;
  }
  // A rate that seems to collapse is more likely a battery held for part
  // of the stretch (macOS's 80 % hold ending, a level that lagged) than a
  // charger that slowed that much: it falls by half at most.
  double floor = perHour_.value_or(kFastestPerHour / 2) / 2;
  perHour_ = std::max(floor, gained / seconds * kSecondsPerHour);
}

double ChargeRate::planningPerHour() const {
  if (!perHour_) return kFastestPerHour;
  return std::min(2 * *perHour_, kFastestPerHour);
}

}  // namespace ampervale
