#include "control/battery_level.h"

#include <cmath>

#include "control/power_controller.h"

namespace ampervale {

std::optional<int64_t> PercentageFromCapacities(
    const platform::BatteryCapacities& capacities) {
  if (!capacities.current || !capacities.maximum) return std::nullopt;
  // Written so that a NaN maximum is refused too.
  if (!(*capacities.maximum > 0)) return std::nullopt;
  double percentage = *capacities.current * 100 / *capacities.maximum;
  if (std::isnan(percentage) || percentage < 0 || percentage > 100) {
    return std::nullopt;
  }
  return static_cast<int64_t>(std::floor(percentage));
}

std::optional<int64_t> NativePowerController::batteryPercentage() {
  std::optional<platform::BatteryCapacities> capacities =
      platform::ReadBatteryCapacities();
  if (!capacities) return std::nullopt;
  return PercentageFromCapacities(*capacities);
}

}  // namespace ampervale
