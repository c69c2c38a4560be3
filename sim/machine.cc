#include "sim/machine.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/native_control_error.h"
#include "sim/builtin_machines.h"
#include "sim/hex.h"
#include "sim/json_fields.h"
#include "smc/smc_packet.h"

namespace ampervale::sim {

namespace {

constexpr char kContext[] = "Machine description";

std::vector<uint8_t> ReadKeyValue(const nlohmann::json& value,
                                  const std::string& path) {
  std::optional<std::vector<uint8_t>> bytes;
  if (value.is_string()) bytes = ParseHex(value.get<std::string>());
  if (!bytes || bytes->empty() ||
      bytes->size() > NativeSMCPacket::kMaxDataSize) {
    FieldError(kContext, path, "expected 1 to 32 bytes as hex digits");
  }
  return *bytes;
}

SMCModel::KeyTable ReadKeys(const nlohmann::json& keys) {
  if (!keys.is_object()) FieldError(kContext, "keys", "expected an object");
  SMCModel::KeyTable table;
  for (const auto& [key, value] : keys.items()) {
    std::string path = "keys." + key;
    if (!IsSMCKey(key)) {
      FieldError(kContext, path, "expected a four-character SMC key");
    }
    table[key] = ReadKeyValue(value, path);
  }
  return table;
}

void ReadAdapter(JsonObjectReader& top, MachineDescription& machine) {
  const nlohmann::json* adapter = top.Find("adapter");
  if (adapter == nullptr) return;
  JsonObjectReader reader(*adapter, kContext, "adapter");
  machine.adapter_key = reader.OptionalSMCKey("key");
  const std::string& key = machine.adapter_key;
  if (!key.empty() && key != "CH0I" && key != "CH0J" && key != "CHIE") {
    reader.Fail("key", "expected CH0I, CH0J, CHIE or null");
  }
  machine.adapter_connected = reader.Boolean("connected", true);
  reader.RejectUnknownFields();
  // The adapter key starts out supplying power unless the keys say else.
  if (!key.empty()) machine.keys.try_emplace(key, std::vector<uint8_t>{0x00});
}

void ReadBattery(JsonObjectReader& top, MachineDescription& machine) {
  const nlohmann::json* battery = top.Find("battery");
  if (battery == nullptr) return;
  JsonObjectReader reader(*battery, kContext, "battery");
  machine.battery_present = reader.Boolean("present", true);
  Battery& cell = machine.battery;
  cell.level = reader.Number("level", 0, 100, cell.level);
  machine.max_capacity =
      reader.Integer("maxCapacity", 1, 1000000, machine.max_capacity);
  cell.charge_rate =
      reader.Number("chargePercentPerHour", 0, 1e6, cell.charge_rate);
  if (reader.Find("chargePercentPerHourAbove80") != nullptr) {
    cell.charge_rate_above_80 =
        reader.Number("chargePercentPerHourAbove80", 0, 1e6);
  }
  cell.drain_rate =
      reader.Number("drainPercentPerHour", 0, 1e6, cell.drain_rate);
  cell.sleep_drain_rate =
      reader.Number("sleepDrainPercentPerHour", 0, 1e6, cell.sleep_drain_rate);
  reader.RejectUnknownFields();
}

std::vector<Fault> ReadFaults(JsonObjectReader& top) {
  const nlohmann::json* faults = top.Find("faults");
  if (faults == nullptr) return {};
  if (!faults->is_array()) FieldError(kContext, "faults", "expected an array");
  std::vector<Fault> list;
  for (size_t i = 0; i < faults->size(); ++i) {
    std::string path = "faults[" + std::to_string(i) + "]";
    list.push_back(ParseFault((*faults)[i], kContext, path));
  }
  return list;
}

std::string OptionalString(JsonObjectReader& reader, const std::string& name,
                           const std::string& fallback) {
  return reader.Find(name) == nullptr ? fallback : reader.String(name);
}

}  // namespace

MachineDescription ParseMachine(const nlohmann::json& json) {
  JsonObjectReader top(json, kContext, "");
  MachineDescription machine;
  machine.name = OptionalString(top, "name", "custom");
  machine.description = OptionalString(top, "description", "");
  machine.keys = ReadKeys(top.Require("keys"));
  ReadAdapter(top, machine);
  ReadBattery(top, machine);
  machine.faults = ReadFaults(top);
  top.RejectUnknownFields();
  return machine;
}

MachineDescription LoadMachineFile(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    throw NativeControlError("Cannot read machine description " + path + ": " +
                             std::strerror(errno));
  }
  std::stringstream text;
  text << file.rdbuf();
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(text.str());
  } catch (const nlohmann::json::exception& error) {
    throw NativeControlError("Machine description " + path +
                             " is not valid JSON: " + error.what());
  }
  return ParseMachine(json);
}

std::string BuiltInMachineJson(const std::string& profile) {
  for (const BuiltInMachineText& machine : kBuiltInMachines) {
    if (machine.profile == profile) return std::string(machine.json);
  }
  throw NativeControlError("Unknown profile " + profile +
                           "; choose firmware, legacy-pair, legacy-single "
                           "or unsupported");
}

MachineDescription BuiltInMachine(const std::string& profile) {
  return ParseMachine(nlohmann::json::parse(BuiltInMachineJson(profile)));
}

std::vector<std::string> BuiltInProfileNames() {
  std::vector<std::string> names;
  for (const BuiltInMachineText& machine : kBuiltInMachines) {
    names.emplace_back(machine.profile);
  }
  return names;
}

}  // namespace ampervale::sim
