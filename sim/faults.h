#ifndef AMPERVALE_SIM_FAULTS_H_
#define AMPERVALE_SIM_FAULTS_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ampervale::sim {

// What can go wrong on the simulated Mac. Names are the JSON "kind" values.
enum class FaultKind {
  kReadResult,     // "read-result": a read of `key` answers SMC `result`
  kWriteResult,    // "write-result": a write of `key` answers `result`
  kNotPrivileged,  // "not-privileged": the kernel refuses the exchange
  kIgnoreWrite,    // "ignore-write": a write of `key` succeeds, stores nothing
  kWidth,          // "width": key information reports `width`
  kDisconnect,     // "disconnect": the connection ends instead of a reply
  kRefuseOpen,     // "refuse-open": the open greeting carries `code`
  kNoBattery,      // "no-battery": the battery service is absent
  kCapacity,       // "capacity": battery `property` answers `value`
  kPrivateSocket,  // "private-socket": the socket is mode 0600
};

struct Fault {
  FaultKind kind = FaultKind::kNoBattery;
  // The SMC key it applies to; "" means every key.
  std::string key;
  // The SMC command it applies to; absent means every command.
  std::optional<uint8_t> command;
  uint8_t result = 0;
  uint32_t width = 0;
  int32_t code = 0;
  std::string property;
  // For "capacity": null (missing), a number, or a string (not a number).
  nlohmann::json value;
};

std::string_view FaultKindName(FaultKind kind);
std::optional<FaultKind> FaultKindNamed(std::string_view name);
// "read-result, write-result, ..." for messages and help.
std::string FaultKindList();

// Reads one fault object; errors name the field below `path`, e.g.
// "Machine description field faults[1].key: expected a four-character SMC
// key". Throws NativeControlError.
Fault ParseFault(const nlohmann::json& json, const std::string& context,
                 const std::string& path);
nlohmann::json FaultToJson(const Fault& fault);

// The faults in force, in the order they were added.
class FaultSet {
 public:
  // Replaces a fault of the same kind, key, command and property.
  void Add(const Fault& fault);

  // Removes the faults of `kind` (every kind when absent) whose key or
  // property is `target` (any when empty). Returns how many went.
  size_t Clear(std::optional<FaultKind> kind, const std::string& target);

  // The first fault of `kind` that applies to this key and command.
  const Fault* Match(FaultKind kind, const std::string& key,
                     uint8_t command) const;
  const Fault* Find(FaultKind kind) const;
  const Fault* FindCapacity(std::string_view property) const;

  const std::vector<Fault>& all() const { return faults_; }

 private:
  std::vector<Fault> faults_;
};

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_FAULTS_H_
