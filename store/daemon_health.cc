#include "store/daemon_health.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <ostream>

#include "store/json_record.h"

namespace ampervale {

namespace {

// Whole numbers below 2^53 are exact both as doubles and as integers.
bool IsSmallWholeNumber(double seconds) {
  return std::trunc(seconds) == seconds && std::fabs(seconds) < 0x1p53;
}

}  // namespace

double SecondsSinceReferenceDate(std::chrono::system_clock::time_point time) {
  using std::chrono::system_clock;
  // Subtracting before converting keeps the clock's sub-microsecond digits,
  // which a double of seconds since 1970 would round away.
  const auto sinceReference =
      time -
      system_clock::time_point(std::chrono::seconds(kReferenceDateUnixSeconds));
  return std::chrono::duration<double>(sinceReference).count();
}

double NowSinceReferenceDate() {
  return SecondsSinceReferenceDate(std::chrono::system_clock::now());
}

std::string EncodeHealth(const NativeDaemonHealth& health) {
  if (!std::isfinite(health.timestamp)) {
    throw JsonRecordError("\"timestamp\" is not a finite number");
  }
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  object["pid"] = health.pid;
  if (IsSmallWholeNumber(health.timestamp)) {
    object["timestamp"] = static_cast<int64_t>(health.timestamp);
  } else {
    object["timestamp"] = health.timestamp;
  }
  if (health.error) object["error"] = *health.error;
  return json_record::Dump(object);
}

NativeDaemonHealth DecodeHealth(std::string_view json) {
  const nlohmann::json object = json_record::ParseObject(json);
  auto pid = json_record::OptionalInteger(object, "pid",
                                          std::numeric_limits<int32_t>::min(),
                                          std::numeric_limits<int32_t>::max());
  auto timestamp = json_record::OptionalNumber(object, "timestamp");
  return NativeDaemonHealth{
      .pid = static_cast<int32_t>(json_record::Required(pid, "pid")),
      .timestamp = json_record::Required(timestamp, "timestamp"),
      .error = json_record::OptionalString(object, "error"),
  };
}

std::ostream& operator<<(std::ostream& out, const NativeDaemonHealth& health) {
  out << "pid " << health.pid << " timestamp " << health.timestamp;
  if (health.error) out << " error " << *health.error;
  return out;
}

}  // namespace ampervale
