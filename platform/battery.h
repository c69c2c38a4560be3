#ifndef AMPERVALE_PLATFORM_BATTERY_H_
#define AMPERVALE_PLATFORM_BATTERY_H_

#include <optional>

namespace ampervale::platform {

// The two capacity properties of the battery's registry entry. A property
// that is missing or not a number is absent.
struct BatteryCapacities {
  std::optional<double> current;
  std::optional<double> maximum;
};

// Reads "CurrentCapacity" and "MaxCapacity" of the battery service. Absent
// when the machine has no battery service. Never throws.
std::optional<BatteryCapacities> ReadBatteryCapacities();

// The battery's "ExternalConnected": whether an adapter is plugged in (true
// also while the SMC keeps it cut off). Absent when the machine has no
// battery service or the property is missing or not a boolean. Never
// throws.
std::optional<bool> ReadExternalConnected();

}  // namespace ampervale::platform

#endif  // AMPERVALE_PLATFORM_BATTERY_H_
