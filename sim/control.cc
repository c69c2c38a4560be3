#include "sim/control.h"

#include <cstdio>
#include <exception>
#include <functional>
#include <map>

#include "common/native_control_error.h"
#include "sim/hex.h"
#include "sim/json_fields.h"
#include "smc/smc_packet.h"

namespace ampervale::sim {

namespace {

constexpr char kContext[] = "Control request";

using Handler = std::function<nlohmann::json(SimulatedMac&, JsonObjectReader&)>;

struct Command {
  Handler handler;
  std::vector<std::string> fields;  // besides "command"
};

std::vector<uint8_t> ReadValue(JsonObjectReader& request) {
  std::optional<std::vector<uint8_t>> bytes = ParseHex(request.String("value"));
  if (!bytes || bytes->empty() ||
      bytes->size() > NativeSMCPacket::kMaxDataSize) {
    request.Fail("value", "expected 1 to 32 bytes as hex digits");
  }
  return *bytes;
}

nlohmann::json ReadKey(SimulatedMac& mac, JsonObjectReader& request) {
  std::string key = request.SMCKey("key");
  std::optional<std::vector<uint8_t>> value = mac.smc().Value(key);
  if (!value) throw NativeControlError("The machine has no key " + key);
  return {{"key", key}, {"value", ToHex(*value)}};
}

nlohmann::json SetKey(SimulatedMac& mac, JsonObjectReader& request) {
  std::string key = request.SMCKey("key");
  std::vector<uint8_t> value = ReadValue(request);
  mac.smc().SetValue(key, value);
  mac.Note("operator set " + key + " = " + ToHex(value));
  return nlohmann::json::object();
}

nlohmann::json RemoveKey(SimulatedMac& mac, JsonObjectReader& request) {
  std::string key = request.SMCKey("key");
  if (!mac.smc().RemoveKey(key)) {
    throw NativeControlError("The machine has no key " + key);
  }
  mac.Note("operator removed " + key);
  return nlohmann::json::object();
}

nlohmann::json SetBattery(SimulatedMac& mac, JsonObjectReader& request) {
  double level = request.Number("level", 0, 100);
  mac.SetLevel(level);
  char text[64];
  std::snprintf(text, sizeof text, "operator set the battery to %g %%", level);
  mac.Note(text);
  return nlohmann::json::object();
}

nlohmann::json AddFault(SimulatedMac& mac, JsonObjectReader& request) {
  Fault fault = ParseFault(request.Require("fault"), kContext, "fault");
  mac.smc().faults().Add(fault);
  mac.Note("fault " + FaultToJson(fault).dump());
  return nlohmann::json::object();
}

nlohmann::json ClearFaults(SimulatedMac& mac, JsonObjectReader& request) {
  std::optional<FaultKind> kind;
  if (request.Find("kind") != nullptr) {
    kind = FaultKindNamed(request.String("kind"));
    if (!kind) request.Fail("kind", "expected one of " + FaultKindList());
  }
  std::string target =
      request.Find("target") == nullptr ? "" : request.String("target");
  size_t cleared = mac.smc().faults().Clear(kind, target);
  mac.Note("operator cleared " + std::to_string(cleared) + " fault(s)");
  return {{"cleared", cleared}};
}

nlohmann::json State(SimulatedMac& mac, JsonObjectReader&) {
  return {{"state", mac.StateJson()}};
}

nlohmann::json Sleep(SimulatedMac& mac, JsonObjectReader& request) {
  return {
      {kSleepTicket, mac.sleep().RequestSleep(mac, ReadSleepOptions(request))}};
}

std::vector<std::string> SleepFields() {
  std::vector<std::string> fields{"hours"};
  for (const SleepNumberOption& option : SleepNumberOptions()) {
    fields.emplace_back(option.field);
  }
  for (const SleepFlagOption& option : SleepFlagOptions()) {
    fields.emplace_back(option.field);
  }
  return fields;
}

nlohmann::json ClearWrites(SimulatedMac& mac, JsonObjectReader&) {
  mac.smc().ClearWrites();
  return nlohmann::json::object();
}

const std::map<std::string, Command>& Commands() {
  static const std::map<std::string, Command> commands{
      {"key", {ReadKey, {"key"}}},
      {"set-key", {SetKey, {"key", "value"}}},
      {"remove-key", {RemoveKey, {"key"}}},
      {"battery", {SetBattery, {"level"}}},
      {"fault", {AddFault, {"fault"}}},
      {"clear-faults", {ClearFaults, {"kind", "target"}}},
      {"state", {State, {}}},
      {"clear-writes", {ClearWrites, {}}},
      {"sleep", {Sleep, SleepFields()}},
  };
  return commands;
}

nlohmann::json Dispatch(SimulatedMac& mac, const nlohmann::json& request) {
  JsonObjectReader reader(request, kContext, "");
  std::string name = reader.String("command");
  auto command = Commands().find(name);
  if (command == Commands().end()) {
    reader.Fail("command", "unknown command " + name);
  }
  // Refused before anything changes, so that a typo changes nothing.
  for (const std::string& field : command->second.fields) reader.Find(field);
  reader.RejectUnknownFields();
  nlohmann::json answer = command->second.handler(mac, reader);
  answer["ok"] = true;
  return answer;
}

}  // namespace

nlohmann::json HandleControl(SimulatedMac& mac, const nlohmann::json& request) {
  try {
    return Dispatch(mac, request);
  } catch (const std::exception& error) {
    return {{"ok", false}, {"error", error.what()}};
  }
}

}  // namespace ampervale::sim
