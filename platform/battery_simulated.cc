// The battery registry entry of a simulated Mac, reached over a Unix socket.

#include "platform/battery.h"
#include "platform/simulator_socket.h"

namespace ampervale::platform {

namespace {

constexpr uint8_t kBatteryService = 0x02;

}  // namespace

std::optional<BatteryCapacities> ReadBatteryCapacities() {
  std::optional<std::string> path = SimulatorPath();
  SimulatorSocket socket;
  if (!path || !OpenSimulatedEntry(socket, *path, kBatteryService)) {
    return std::nullopt;
  }
  BatteryCapacities capacities;
  bool broken = false;
  capacities.current =
      ReadSimulatedProperty(socket, "CurrentCapacity", broken).number();
  capacities.maximum =
      ReadSimulatedProperty(socket, "MaxCapacity", broken).number();
  return capacities;
}

std::optional<bool> ReadExternalConnected() {
  return ReadSimulatedEntryProperty(kBatteryService, "ExternalConnected")
      .boolean();
}

}  // namespace ampervale::platform
