#ifndef AMPERVALE_PLATFORM_SIMULATOR_SOCKET_H_
#define AMPERVALE_PLATFORM_SIMULATOR_SOCKET_H_

#include <chrono>
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

// How long one exchange with the simulator may take in all. A real SMC
// answers in microseconds; a simulator that stalls or drips its answer must
// not hold a command, or the daemon with the policy lock, for longer.
std::chrono::milliseconds SimulatorExchangeLimit();
// Applies to exchanges begun from then on. Tests shorten it so that a peer
// that never answers is given up on quickly.
void SetSimulatorExchangeLimit(std::chrono::milliseconds limit);

// The return code of an open whose connect failed with `error`.
int32_t ConnectFailureCode(int error);

// One client connection to the simulated Mac. Owns the descriptor.
class SimulatorSocket {
 public:
  SimulatorSocket() = default;
  ~SimulatorSocket();
  SimulatorSocket(const SimulatorSocket&) = delete;
  SimulatorSocket& operator=(const SimulatorSocket&) = delete;

  // Returns 0 on success, otherwise the errno of the failure: ENAMETOOLONG
  // for a path that does not fit a socket address.
  int Connect(const std::string& path);

  // Whole transfers; false when the peer went away or failed, or the
  // exchange ran out of time. Each SendAll begins an exchange: it and the
  // receives after it, up to the next SendAll, share one limit, which a
  // peer cannot stretch by answering a byte at a time. Connecting begins
  // one too, for a peer that speaks first.
  bool SendAll(const void* data, size_t length);
  bool ReceiveAll(void* data, size_t length);

  // For a peer that speaks unasked: waits up to `limit` for its next
  // message, then begins an exchange for receiving it. False when nothing
  // came in time; a peer that went away counts as having spoken, so that
  // the receive reports it.
  bool AwaitMessage(std::chrono::milliseconds limit);

 private:
  using Clock = std::chrono::steady_clock;

  // Waits until the descriptor is ready for `events`; false once the
  // exchange's time is up.
  bool AwaitReady(short events);

  Clock::time_point deadline_;
  int fd_ = -1;
};

// One registry property as the simulator sends it: a tag, then an integer
// or real (8 bytes) or a boolean (1 byte).
struct SimulatedProperty {
  enum Tag : uint8_t {
    kMissing = 0,
    kInteger = 1,
    kReal = 2,
    kNotNumber = 3,
    kBoolean = 4,
  };
  Tag tag = kMissing;
  uint64_t bits = 0;  // the integer's, the real's or the boolean's bits

  std::optional<double> number() const;
  std::optional<bool> boolean() const;
};

// Connects to the simulator at `path`, asks for the registry entry of
// `service` (0x02 the battery, 0x05 the root power domain) and reads its
// existence byte. False when there is no such service.
bool OpenSimulatedEntry(SimulatorSocket& socket, const std::string& path,
                        uint8_t service);

// Reads the property `name` (1 to 255 bytes) on an open entry. A property
// that cannot be read counts as missing; so does every property after it
// on that connection (`broken`), whose answers are out of step.
SimulatedProperty ReadSimulatedProperty(SimulatorSocket& socket,
                                        const std::string& name, bool& broken);

// One property of `service`'s entry on a connection of its own: missing
// when there is no simulator, no such service, or the read fails.
SimulatedProperty ReadSimulatedEntryProperty(uint8_t service,
                                             const std::string& name);

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
