#include "store/json_record.h"

#include <cmath>
#include <limits>

namespace ampervale::json_record {

namespace {

using nlohmann::json;

// The library's messages quote the token they stopped at, which may be long
// or hold any byte of the input.
constexpr size_t kMaxMessageLength = 160;

bool LimitDepth(int depth, json::parse_event_t /*event*/, json& /*parsed*/) {
  if (depth > kMaxDepth) {
    throw JsonRecordError("JSON nested deeper than " +
                          std::to_string(kMaxDepth) + " levels");
  }
  return true;
}

// Drops the library's "[json.exception.parse_error.101] " tag and replaces
// what is not printable ASCII.
std::string Printable(std::string_view message) {
  const size_t tagEnd = message.find("] ");
  if (message.starts_with('[') && tagEnd != std::string_view::npos) {
    message.remove_prefix(tagEnd + 2);
  }
  std::string text(message.substr(0, kMaxMessageLength));
  for (char& c : text) {
    if (c < 0x20 || c > 0x7e) c = '?';
  }
  if (message.size() > kMaxMessageLength) text += "...";
  return text;
}

const json* Member(const json& object, std::string_view key) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return nullptr;
  return &*found;
}

[[noreturn]] void Refuse(std::string_view key, std::string_view expected) {
  throw JsonRecordError('"' + std::string(key) + "\" is not " +
                        std::string(expected));
}

std::optional<int64_t> ExactInteger(const json& value) {
  if (value.is_number_unsigned()) {
    const auto number = value.get<uint64_t>();
    if (number > uint64_t{std::numeric_limits<int64_t>::max()}) return {};
    return static_cast<int64_t>(number);
  }
  if (value.is_number_integer()) return value.get<int64_t>();
  if (!value.is_number_float()) return {};
  const double number = value.get<double>();
  // -2^63 is the least int64_t and 2^63 the first double beyond the greatest.
  if (std::trunc(number) != number || number < -0x1p63 || number >= 0x1p63) {
    return {};
  }
  return static_cast<int64_t>(number);
}

}  // namespace

json ParseObject(std::string_view text) {
  // The parser takes a NUL byte for the end of the input and would accept
  // whatever follows it unread.
  if (text.find('\0') != std::string_view::npos) {
    throw JsonRecordError("the document holds a NUL byte");
  }
  json document;
  try {
    document = json::parse(text, LimitDepth);
  } catch (const json::exception& error) {
    throw JsonRecordError(Printable(error.what()));
  }
  if (!document.is_object()) {
    throw JsonRecordError("the document is not a JSON object");
  }
  return document;
}

std::optional<int64_t> OptionalInteger(const json& object, std::string_view key,
                                       int64_t minimum, int64_t maximum) {
  const json* value = Member(object, key);
  if (value == nullptr) return {};
  const std::optional<int64_t> number = ExactInteger(*value);
  if (!number || *number < minimum || *number > maximum) {
    Refuse(key, "an integer from " + std::to_string(minimum) + " to " +
                    std::to_string(maximum));
  }
  return number;
}

std::optional<bool> OptionalBoolean(const json& object, std::string_view key) {
  const json* value = Member(object, key);
  if (value == nullptr) return {};
  if (!value->is_boolean()) Refuse(key, "a boolean");
  return value->get<bool>();
}

std::optional<std::string> OptionalString(const json& object,
                                          std::string_view key) {
  const json* value = Member(object, key);
  if (value == nullptr) return {};
  if (!value->is_string()) Refuse(key, "a string");
  return value->get<std::string>();
}

std::optional<double> OptionalNumber(const json& object, std::string_view key) {
  const json* value = Member(object, key);
  if (value == nullptr) return {};
  if (!value->is_number()) Refuse(key, "a number");
  return value->get<double>();
}

std::string Dump(const nlohmann::ordered_json& object) {
  return object.dump(-1, ' ', false,
                     nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace ampervale::json_record
