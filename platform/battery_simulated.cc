// The battery registry entry of a simulated Mac, reached over a Unix socket.

#include <bit>
#include <cstring>
#include <string_view>

#include "platform/battery.h"
#include "platform/simulator_socket.h"

namespace ampervale::platform {

namespace {

constexpr uint8_t kBatteryServiceRequest = 0x02;
enum PropertyTag : uint8_t { kMissing = 0, kInteger = 1, kReal = 2 };

// A property that cannot be read counts as missing.
std::optional<double> ReadNumber(SimulatorSocket& socket,
                                 std::string_view name) {
  uint8_t length = static_cast<uint8_t>(name.size());
  uint8_t tag = kMissing;
  if (!socket.SendAll(&length, 1) ||
      !socket.SendAll(name.data(), name.size()) ||
      !socket.ReceiveAll(&tag, 1)) {
    return std::nullopt;
  }
  if (tag != kInteger && tag != kReal) return std::nullopt;
  uint8_t raw[8];
  if (!socket.ReceiveAll(raw, sizeof raw)) return std::nullopt;
  uint64_t bits = GetUIntLE(raw, 8);
  if (tag == kInteger) return static_cast<double>(static_cast<int64_t>(bits));
  return std::bit_cast<double>(bits);
}

}  // namespace

std::optional<BatteryCapacities> ReadBatteryCapacities() {
  std::optional<std::string> path = SimulatorPath();
  if (!path) return std::nullopt;
  SimulatorSocket socket;
  uint8_t exists = 0;
  if (socket.Connect(*path) != 0 ||
      !socket.SendAll(&kBatteryServiceRequest, 1) ||
      !socket.ReceiveAll(&exists, 1) || exists != 1) {
    return std::nullopt;
  }
  BatteryCapacities capacities;
  capacities.current = ReadNumber(socket, "CurrentCapacity");
  capacities.maximum = ReadNumber(socket, "MaxCapacity");
  return capacities;
}

}  // namespace ampervale::platform
