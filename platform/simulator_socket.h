#ifndef AMPERVALE_PLATFORM_SIMULATOR_SOCKET_H_
#define AMPERVALE_PLATFORM_SIMULATOR_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace ampervale::platform {

// The environment variable that names the simulated Mac's socket.
inline constexpr const char kSimulatorVariable[] = "AMPERVALE_SIMULATOR";

// The simulator's socket path, when the variable is set, non-empty and
// names an existing path.
std::optional<std::string> SimulatorPath();

// One client connection to the simulated Mac. Owns the descriptor.
class SimulatorSocket {
 public:
  SimulatorSocket() = default;
  ~SimulatorSocket();
  SimulatorSocket(const SimulatorSocket&) = delete;
  SimulatorSocket& operator=(const SimulatorSocket&) = delete;

  // Returns 0 on success, otherwise the errno of the failure.
  int Connect(const std::string& path);

  // Whole transfers; false when the peer went away, failed or timed out.
  bool SendAll(const void* data, size_t length);
  bool ReceiveAll(void* data, size_t length);

 private:
  int fd_ = -1;
};

inline void PutUInt32LE(uint32_t value, uint8_t* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint64_t GetUIntLE(const uint8_t* in, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

}  // namespace ampervale::platform

#endif  // AMPERVALE_PLATFORM_SIMULATOR_SOCKET_H_
