#ifndef AMPERVALE_STORE_DAEMON_HEALTH_H_
#define AMPERVALE_STORE_DAEMON_HEALTH_H_

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace ampervale {

// Points in time are seconds since 2001-01-01 00:00:00 UTC, which lies this
// many seconds after the Unix epoch.
inline constexpr int64_t kReferenceDateUnixSeconds = 978307200;

// `time` in seconds since 2001-01-01 UTC.
double SecondsSinceReferenceDate(std::chrono::system_clock::time_point time);

// The system clock's current time in seconds since 2001-01-01 UTC.
double NowSinceReferenceDate();

// The daemon's heartbeat, stored as "health.json" after every pass.
struct NativeDaemonHealth {
  int32_t pid = 0;                     // the daemon that wrote the record
  double timestamp = 0.0;              // when, in seconds since 2001-01-01 UTC
  std::optional<std::string> error{};  // why the last pass failed, if it did

  bool operator==(const NativeDaemonHealth&) const = default;
};

// Compact JSON with keys "pid", "timestamp", "error" in that order, "error"
// left out when absent. The timestamp reads back as the same double; a whole
// number of seconds is written as an integer, so the reference date is 0.
// Throws JsonRecordError for a timestamp that is not finite, which JSON
// cannot hold.
std::string EncodeHealth(const NativeDaemonHealth& health);

// Reads one JSON object; unknown keys are ignored. Throws JsonRecordError
// when "pid" (an integer in the signed 32-bit range) or "timestamp" (a
// number) is missing or wrong, or "error" is neither a string nor null.
NativeDaemonHealth DecodeHealth(std::string_view json);

// Prints the fields, for test failures.
std::ostream& operator<<(std::ostream& out, const NativeDaemonHealth& health);

}  // namespace ampervale

#endif  // AMPERVALE_STORE_DAEMON_HEALTH_H_
