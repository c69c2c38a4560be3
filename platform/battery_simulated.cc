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

// A property that cannot be read counts as missing. So does every property
// after it on that connection (`broken`), whose answers are out of step.
// REQUIRES: 1 to 255 bytes of name.
std::optional<double> ReadNumber(SimulatorSocket& socket, std::string_view name,
                                 bool& broken) {
  uint8_t request[256];
  request[0] = static_cast<uint8_t>(name.size());
  memcpy(request + 1, name.data(), name.size());
  uint8_t tag = kMissing;
  broken = broken || !socket.SendAll(request, 1 + name.size()) ||
           !socket.ReceiveAll(&tag, 1);
  if (broken || (tag != kInteger && tag != kReal)) return std::nullopt;
  uint8_t raw[8];
  broken = !socket.ReceiveAll(raw, sizeof raw);
  if (broken) return std::nullopt;
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
  bool broken = false;
  capacities.current = ReadNumber(socket, "CurrentCapacity", broken);
  capacities.maximum = ReadNumber(socket, "MaxCapacity", broken);
  return capacities;
}

}  // namespace ampervale::platform
