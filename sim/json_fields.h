#ifndef AMPERVALE_SIM_JSON_FIELDS_H_
#define AMPERVALE_SIM_JSON_FIELDS_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>

namespace ampervale::sim {

// Reads one JSON object field by field for the simulator's descriptions.
// Every failure is a NativeControlError that names the field by its path,
// e.g. "Machine description field battery.level: expected a number from 0
// to 100", so a user can find the mistake in a hand-written file.
class JsonObjectReader {
 public:
  // `context` starts every message; `path` is this object's own path ("" at
  // the top). Throws when `object` is not a JSON object.
  JsonObjectReader(const nlohmann::json& object, std::string context,
                   std::string path);

  // The field, or nullptr when it is absent. Marks the name as known.
  const nlohmann::json* Find(const std::string& name);
  const nlohmann::json& Require(const std::string& name);

  double Number(const std::string& name, double low, double high,
                std::optional<double> fallback = std::nullopt);
  int64_t Integer(const std::string& name, int64_t low, int64_t high,
                  std::optional<int64_t> fallback = std::nullopt);
  bool Boolean(const std::string& name, bool fallback);
  std::string String(const std::string& name);
  std::string SMCKey(const std::string& name);
  // "" when the field is absent.
  std::string OptionalSMCKey(const std::string& name);

  std::string PathOf(const std::string& name) const;
  const std::string& context() const { return context_; }

  [[noreturn]] void Fail(const std::string& name,
                         const std::string& problem) const;

  // Fails on the first field that no Find or Require asked for, so that a
  // misspelt field is reported rather than silently ignored.
  void RejectUnknownFields() const;

 private:
  const nlohmann::json& object_;
  std::string context_;
  std::string path_;
  std::set<std::string> known_;
};

// The value when it is a JSON integer within [low, high].
std::optional<int64_t> IntegerIn(const nlohmann::json& value, int64_t low,
                                 int64_t high);

[[noreturn]] void FieldError(const std::string& context,
                             const std::string& path,
                             const std::string& problem);

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_JSON_FIELDS_H_
