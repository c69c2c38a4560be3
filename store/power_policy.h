#ifndef AMPERVALE_STORE_POWER_POLICY_H_
#define AMPERVALE_STORE_POWER_POLICY_H_

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace ampervale {

// The LED modes a policy may store, in the system's table order.
inline constexpr std::array<std::string_view, 4> kStoredLEDModes = {
    "off", "green", "amber", "system"};

// What the user asked for; stored as "policy.json". Every field is
// optional; the policy with all four absent is the empty policy, which is
// what the system uses when no policy file exists.
struct NativePowerPolicy {
  std::optional<int64_t> upperLimit{};  // percent; absent: no limit enforced
  std::optional<bool> adapterEnabled{};
  std::optional<std::string> ledMode{};  // one of kStoredLEDModes
  // True while a hand-back of charging to the system is pending.
  std::optional<bool> restoreChargingRequested{};

  // Throws a NativeControlError at the first rule broken, in this order:
  // "Invalid stored charge limit" (a limit outside 30 to 99),
  // "Conflicting stored charging policy" (a limit and a pending restore),
  // "Invalid stored LED mode" (a mode not in kStoredLEDModes).
  void validate() const;

  bool operator==(const NativePowerPolicy&) const = default;
};

// Compact JSON, keys in field order, absent fields left out: the empty
// policy is "{}". Never throws for lack of validity; validate() first.
std::string EncodePolicy(const NativePowerPolicy& policy);

// Reads one JSON object; unknown keys are ignored, null is absent. Throws
// JsonRecordError when the text is not a JSON object or a field has the
// wrong type (a number where a boolean is expected, 80.5 or 2^63 as a
// limit). Does not validate.
NativePowerPolicy DecodePolicy(std::string_view json);

// Prints the encoded policy, for test failures.
std::ostream& operator<<(std::ostream& out, const NativePowerPolicy& policy);

}  // namespace ampervale

#endif  // AMPERVALE_STORE_POWER_POLICY_H_
