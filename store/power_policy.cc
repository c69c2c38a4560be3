#include "store/power_policy.h"

#include <algorithm>
#include <limits>
#include <ostream>

#include "common/native_control_error.h"
#include "store/json_record.h"

namespace ampervale {

namespace {

constexpr int64_t kLowestLimit = 30;
constexpr int64_t kHighestLimit = 99;  // 100 is stored as no limit at all

bool IsStoredLEDMode(const std::string& mode) {
  return std::find(kStoredLEDModes.begin(), kStoredLEDModes.end(), mode) !=
         kStoredLEDModes.end();
}

}  // namespace

void NativePowerPolicy::validate() const {
  if (upperLimit && (*upperLimit < kLowestLimit || *upperLimit > kHighestLimit))
    throw NativeControlError("Invalid stored charge limit");
  if (upperLimit && restoreChargingRequested == true)
    throw NativeControlError("Conflicting stored charging policy");
  if (ledMode && !IsStoredLEDMode(*ledMode))
    throw NativeControlError("Invalid stored LED mode");
}

std::string EncodePolicy(const NativePowerPolicy& policy) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  if (policy.upperLimit) object["upperLimit"] = *policy.upperLimit;
  if (policy.adapterEnabled) object["adapterEnabled"] = *policy.adapterEnabled;
  if (policy.ledMode) object["ledMode"] = *policy.ledMode;
  if (policy.restoreChargingRequested) {
    object["restoreChargingRequested"] = *policy.restoreChargingRequested;
  }
  return json_record::Dump(object);
}

NativePowerPolicy DecodePolicy(std::string_view json) {
  const nlohmann::json object = json_record::ParseObject(json);
  return NativePowerPolicy{
      .upperLimit = json_record::OptionalInteger(
          object, "upperLimit", std::numeric_limits<int64_t>::min(),
          std::numeric_limits<int64_t>::max()),
      .adapterEnabled = json_record::OptionalBoolean(object, "adapterEnabled"),
      .ledMode = json_record::OptionalString(object, "ledMode"),
      .restoreChargingRequested =
          json_record::OptionalBoolean(object, "restoreChargingRequested"),
  };
}

std::ostream& operator<<(std::ostream& out, const NativePowerPolicy& policy) {
  return out << EncodePolicy(policy);
}

}  // namespace ampervale
