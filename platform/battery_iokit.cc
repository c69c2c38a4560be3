// The battery's registry entry, through IOKit.

#include "platform/battery.h"
#include "platform/registry_iokit.h"

namespace ampervale::platform {

namespace {

constexpr char kBatteryService[] = "AppleSmartBattery";

}  // namespace

std::optional<BatteryCapacities> ReadBatteryCapacities() {
  ServiceEntry battery(kBatteryService);
  if (!battery.found()) return std::nullopt;
  BatteryCapacities capacities;
  capacities.current = battery.Number("CurrentCapacity");
  capacities.maximum = battery.Number("MaxCapacity");
  return capacities;
}

std::optional<bool> ReadExternalConnected() {
  return ServiceEntry(kBatteryService).Boolean("ExternalConnected");
}

}  // namespace ampervale::platform
