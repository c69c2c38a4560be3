#include "sim/json_fields.h"

#include <cmath>

#include "common/native_control_error.h"
#include "sim/hex.h"

namespace ampervale::sim {

namespace {

// Integers print without a fractional part in messages.
std::string NumberText(double value) {
  if (std::floor(value) == value && std::fabs(value) < 1e15) {
    return std::to_string(static_cast<int64_t>(value));
  }
  return std::to_string(value);
}

}  // namespace

std::optional<int64_t> IntegerIn(const nlohmann::json& value, int64_t low,
                                 int64_t high) {
  int64_t integer = 0;
  if (value.is_number_unsigned()) {
    uint64_t magnitude = value.get<uint64_t>();
    if (high < 0 || magnitude > static_cast<uint64_t>(high)) {
      return std::nullopt;
    }
    integer = static_cast<int64_t>(magnitude);
  } else if (value.is_number_integer()) {
    integer = value.get<int64_t>();
  } else {
    return std::nullopt;
  }
  if (integer < low || integer > high) return std::nullopt;
  return integer;
}

void FieldError(const std::string& context, const std::string& path,
                const std::string& problem) {
  std::string where = path.empty() ? "" : " field " + path;
  throw NativeControlError(context + where + ": " + problem);
}

JsonObjectReader::JsonObjectReader(const nlohmann::json& object,
                                   std::string context, std::string path)
    : object_(object), context_(std::move(context)), path_(std::move(path)) {
  if (!object_.is_object()) FieldError(context_, path_, "expected an object");
}

std::string JsonObjectReader::PathOf(const std::string& name) const {
  return path_.empty() ? name : path_ + "." + name;
}

void JsonObjectReader::Fail(const std::string& name,
                            const std::string& problem) const {
  FieldError(context_, PathOf(name), problem);
}

const nlohmann::json* JsonObjectReader::Find(const std::string& name) {
  known_.insert(name);
  auto found = object_.find(name);
  return found == object_.end() ? nullptr : &*found;
}

const nlohmann::json& JsonObjectReader::Require(const std::string& name) {
  const nlohmann::json* value = Find(name);
  if (value == nullptr) Fail(name, "missing");
  return *value;
}

double JsonObjectReader::Number(const std::string& name, double low,
                                double high, std::optional<double> fallback) {
  const nlohmann::json* value = Find(name);
  if (value == nullptr && fallback) return *fallback;
  if (value == nullptr) Fail(name, "missing");
  if (!value->is_number() ||
      !(value->get<double>() >= low && value->get<double>() <= high)) {
    Fail(name, "expected a number from " + NumberText(low) + " to " +
                   NumberText(high));
  }
  return value->get<double>();
}

int64_t JsonObjectReader::Integer(const std::string& name, int64_t low,
                                  int64_t high,
                                  std::optional<int64_t> fallback) {
  const nlohmann::json* value = Find(name);
  if (value == nullptr && fallback) return *fallback;
  if (value == nullptr) Fail(name, "missing");
  std::optional<int64_t> integer = IntegerIn(*value, low, high);
  if (!integer) {
    Fail(name, "expected an integer from " + std::to_string(low) + " to " +
                   std::to_string(high));
  }
  return *integer;
}

bool JsonObjectReader::Boolean(const std::string& name, bool fallback) {
  const nlohmann::json* value = Find(name);
  if (value == nullptr) return fallback;
  if (!value->is_boolean()) Fail(name, "expected true or false");
  return value->get<bool>();
}

std::string JsonObjectReader::String(const std::string& name) {
  const nlohmann::json& value = Require(name);
  if (!value.is_string()) Fail(name, "expected a string");
  return value.get<std::string>();
}

std::string JsonObjectReader::SMCKey(const std::string& name) {
  const nlohmann::json& value = Require(name);
  if (!value.is_string() || !IsSMCKey(value.get<std::string>())) {
    Fail(name, "expected a four-character SMC key");
  }
  return value.get<std::string>();
}

std::string JsonObjectReader::OptionalSMCKey(const std::string& name) {
  const nlohmann::json* value = Find(name);
  return value == nullptr || value->is_null() ? "" : SMCKey(name);
}

void JsonObjectReader::RejectUnknownFields() const {
  for (const auto& item : object_.items()) {
    if (!known_.contains(item.key())) Fail(item.key(), "unknown field");
  }
}

}  // namespace ampervale::sim
