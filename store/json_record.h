#ifndef AMPERVALE_STORE_JSON_RECORD_H_
#define AMPERVALE_STORE_JSON_RECORD_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ampervale {

// A record document that is not JSON, or whose JSON does not have the
// record's shape. The text is one line and never quotes the input's bytes.
class JsonRecordError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace json_record {

// Objects nest no deeper than this; deeper input is refused before it can
// exhaust the stack.
inline constexpr int kMaxDepth = 64;

// Parses `text` as one JSON object. Throws JsonRecordError for bad syntax,
// invalid UTF-8, a NUL byte anywhere, numbers beyond a double, nesting deeper
// than kMaxDepth, or a document that is not an object.
nlohmann::json ParseObject(std::string_view text);

// Each reader returns nullopt when `key` is missing or null, and throws
// JsonRecordError naming the key when its value has another JSON type. No
// value is converted: a boolean is never a number, nor a number a boolean.

// An integer from `minimum` to `maximum`. A number with a fractional part
// or outside the range is refused; 80.0 is the integer 80.
std::optional<int64_t> OptionalInteger(const nlohmann::json& object,
                                       std::string_view key, int64_t minimum,
                                       int64_t maximum);
std::optional<bool> OptionalBoolean(const nlohmann::json& object,
                                    std::string_view key);
std::optional<std::string> OptionalString(const nlohmann::json& object,
                                          std::string_view key);
std::optional<double> OptionalNumber(const nlohmann::json& object,
                                     std::string_view key);

// The value, or a JsonRecordError saying that `key` is missing.
template <typename T>
T Required(std::optional<T> value, std::string_view key) {
  if (!value) throw JsonRecordError('"' + std::string(key) + "\" is missing");
  return std::move(*value);
}

// Compact JSON of `object`; invalid UTF-8 in a string is written as U+FFFD
// instead of failing, so that a record can always be written.
std::string Dump(const nlohmann::ordered_json& object);

}  // namespace json_record
}  // namespace ampervale

#endif  // AMPERVALE_STORE_JSON_RECORD_H_
