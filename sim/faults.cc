#include "sim/faults.h"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

#include "platform/io_return.h"
#include "sim/json_fields.h"
#include "smc/smc_packet.h"

namespace ampervale::sim {

namespace {

constexpr std::array<std::pair<FaultKind, std::string_view>, 10> kKindNames{{
    {FaultKind::kReadResult, "read-result"},
    {FaultKind::kWriteResult, "write-result"},
    {FaultKind::kNotPrivileged, "not-privileged"},
    {FaultKind::kIgnoreWrite, "ignore-write"},
    {FaultKind::kWidth, "width"},
    {FaultKind::kDisconnect, "disconnect"},
    {FaultKind::kRefuseOpen, "refuse-open"},
    {FaultKind::kNoBattery, "no-battery"},
    {FaultKind::kCapacity, "capacity"},
    {FaultKind::kPrivateSocket, "private-socket"},
}};

bool SameTarget(const Fault& a, const Fault& b) {
  return a.kind == b.kind && a.key == b.key && a.command == b.command &&
         a.property == b.property;
}

void ReadKeyFields(JsonObjectReader& reader, Fault& fault) {
  switch (fault.kind) {
    case FaultKind::kReadResult:
    case FaultKind::kWriteResult:
      fault.key = reader.SMCKey("key");
      fault.command =
          fault.kind == FaultKind::kReadResult ? kSMCReadKey : kSMCWriteKey;
      fault.result = static_cast<uint8_t>(reader.Integer("result", 1, 255));
      break;
    case FaultKind::kNotPrivileged:
    case FaultKind::kDisconnect:
      fault.key = reader.OptionalSMCKey("key");
      if (reader.Find("command") != nullptr) {
        fault.command = static_cast<uint8_t>(reader.Integer("command", 0, 255));
      }
      break;
    case FaultKind::kIgnoreWrite:
      fault.key = reader.SMCKey("key");
      fault.command = kSMCWriteKey;
      break;
    case FaultKind::kWidth:
      fault.key = reader.SMCKey("key");
      fault.width = static_cast<uint32_t>(
          reader.Integer("width", 0, std::numeric_limits<uint32_t>::max()));
      break;
    default:
      break;
  }
}

void ReadMachineFields(JsonObjectReader& reader, Fault& fault) {
  if (fault.kind == FaultKind::kRefuseOpen) {
    // Either the signed code or its unsigned 32-bit spelling.
    fault.code = static_cast<int32_t>(static_cast<uint32_t>(reader.Integer(
        "code", std::numeric_limits<int32_t>::min(),
        std::numeric_limits<uint32_t>::max(), platform::kIOCodeNotPrivileged)));
  } else if (fault.kind == FaultKind::kCapacity) {
    fault.property = reader.String("property");
    if (fault.property.empty() || fault.property.size() > 255) {
      reader.Fail("property", "expected a name of 1 to 255 bytes");
    }
    fault.value = reader.Require("value");
    if (!fault.value.is_null() && !fault.value.is_number() &&
        !fault.value.is_string()) {
      reader.Fail("value", "expected null, a number or a string");
    }
  }
}

}  // namespace

std::string_view FaultKindName(FaultKind kind) {
  for (const auto& [each, name] : kKindNames) {
    if (each == kind) return name;
  }
  return "unknown";
}

std::optional<FaultKind> FaultKindNamed(std::string_view name) {
  for (const auto& [kind, each] : kKindNames) {
    if (each == name) return kind;
  }
  return std::nullopt;
}

std::string FaultKindList() {
  std::string list;
  for (const auto& [kind, name] : kKindNames) {
    list += (list.empty() ? "" : ", ") + std::string(name);
  }
  return list;
}

Fault ParseFault(const nlohmann::json& json, const std::string& context,
                 const std::string& path) {
  JsonObjectReader reader(json, context, path);
  std::optional<FaultKind> kind = FaultKindNamed(reader.String("kind"));
  if (!kind) reader.Fail("kind", "expected one of " + FaultKindList());
  Fault fault;
  fault.kind = *kind;
  ReadKeyFields(reader, fault);
  ReadMachineFields(reader, fault);
  reader.RejectUnknownFields();
  return fault;
}

nlohmann::json FaultToJson(const Fault& fault) {
  nlohmann::json json{{"kind", FaultKindName(fault.kind)}};
  switch (fault.kind) {
    case FaultKind::kReadResult:
    case FaultKind::kWriteResult:
      json["result"] = fault.result;
      [[fallthrough]];
    case FaultKind::kIgnoreWrite:
      json["key"] = fault.key;
      break;
    case FaultKind::kNotPrivileged:
    case FaultKind::kDisconnect:
      if (!fault.key.empty()) json["key"] = fault.key;
      if (fault.command) json["command"] = *fault.command;
      break;
    case FaultKind::kWidth:
      json["key"] = fault.key;
      json["width"] = fault.width;
      break;
    case FaultKind::kRefuseOpen:
      json["code"] = fault.code;
      break;
    case FaultKind::kCapacity:
      json["property"] = fault.property;
      json["value"] = fault.value;
      break;
    default:
      break;
  }
  return json;
}

void FaultSet::Add(const Fault& fault) {
  auto same = [&](const Fault& each) { return SameTarget(each, fault); };
  auto found = std::find_if(faults_.begin(), faults_.end(), same);
  if (found != faults_.end()) {
    *found = fault;
  } else {
    faults_.push_back(fault);
  }
}

size_t FaultSet::Clear(std::optional<FaultKind> kind,
                       const std::string& target) {
  return std::erase_if(faults_, [&](const Fault& fault) {
    return (!kind || fault.kind == *kind) &&
           (target.empty() || fault.key == target || fault.property == target);
  });
}

const Fault* FaultSet::Match(FaultKind kind, const std::string& key,
                             uint8_t command) const {
  for (const Fault& fault : faults_) {
    if (fault.kind == kind && (fault.key.empty() || fault.key == key) &&
        (!fault.command || *fault.command == command)) {
      return &fault;
    }
  }
  return nullptr;
}

const Fault* FaultSet::Find(FaultKind kind) const {
  for (const Fault& fault : faults_) {
    if (fault.kind == kind) return &fault;
  }
  return nullptr;
}

const Fault* FaultSet::FindCapacity(std::string_view property) const {
  for (const Fault& fault : faults_) {
    if (fault.kind == FaultKind::kCapacity && fault.property == property) {
      return &fault;
    }
  }
  return nullptr;
}

}  // namespace ampervale::sim
