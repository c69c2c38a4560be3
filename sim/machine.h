#ifndef AMPERVALE_SIM_MACHINE_H_
#define AMPERVALE_SIM_MACHINE_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/physics.h"
#include "sim/smc_model.h"

namespace ampervale::sim {

// Everything a simulated Mac starts from. See sim/README.md for the JSON
// form and sim/machines/ for the built-in profiles.
struct MachineDescription {
  std::string name;
  std::string description;
  SMCModel::KeyTable keys;
  std::string adapter_key;  // CH0I, CH0J, CHIE, or "" for none
  bool adapter_connected = true;
  bool battery_present = true;
  int64_t max_capacity = 5000;  // mAh
  Battery battery;
  std::vector<Fault> faults;
};

// Reads a machine description. Throws NativeControlError naming the field
// at fault, e.g. "Machine description field keys.ACLC: expected 1 to 32
// bytes as hex digits".
MachineDescription ParseMachine(const nlohmann::json& json);

// Reads and parses a machine file. Throws NativeControlError when the file
// cannot be read or is not JSON, naming the file.
MachineDescription LoadMachineFile(const std::string& path);

// The profiles `firmware`, `legacy-pair`, `legacy-single`, `unsupported`.
// Throws NativeControlError for any other name.
MachineDescription BuiltInMachine(const std::string& profile);
std::string BuiltInMachineJson(const std::string& profile);
std::vector<std::string> BuiltInProfileNames();

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_MACHINE_H_
