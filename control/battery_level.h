#ifndef AMPERVALE_CONTROL_BATTERY_LEVEL_H_
#define AMPERVALE_CONTROL_BATTERY_LEVEL_H_

#include <cstdint>
#include <optional>

#include "platform/battery.h"

namespace ampervale {

// current × 100 / maximum, rounded down. Absent when either capacity is
// absent, the maximum is not above 0, or the result is not a number from 0
// to 100. Never throws.
std::optional<int64_t> PercentageFromCapacities(
    const platform::BatteryCapacities& capacities);

}  // namespace ampervale

#endif  // AMPERVALE_CONTROL_BATTERY_LEVEL_H_
