#ifndef AMPERVALE_SIM_SLEEP_OPTIONS_H_
#define AMPERVALE_SIM_SLEEP_OPTIONS_H_

#include <optional>
#include <vector>

#include "sim/json_fields.h"

namespace ampervale::sim {

// The longest sleep a request may ask for.
inline constexpr double kMaxSleepHours = 48;

// How a sleep plays the night. Everything but `hours` is off unless given,
// so that a plain sleep runs the four tidy steps. Times into the sleep,
// lengths and lags are the machine's; rates are percent per hour.
struct SleepOptions {
  double hours = 0;
  std::optional<double> dark_wake_every;    // minutes between dark wakes
  std::optional<double> dark_wake_seconds;  // kDefaultDarkWakeSeconds
  std::optional<double> linger;             // seconds dark after "will sleep"
  std::optional<double> full_wake_seconds;  // of a booked wake
  std::optional<double> level_lag;          // seconds after each wake
  std::optional<double> rate_change_at;     // minutes, with rate_after
  std::optional<double> rate_after;
  std::optional<double> rate_above_80;
  std::optional<double> hold_80_hours;
  std::optional<double> plug_in_at;     // minutes
  std::optional<double> pull_out_at;    // minutes
  std::optional<double> keys_reset_at;  // minutes
  bool plug_wake = false;
  bool refuse_bookings = false;
};

inline constexpr double kDefaultDarkWakeSeconds = 20;

// One number option: its `ampsim sleep` flag, its field in the "sleep"
// control request, and the values it takes.
struct SleepNumberOption {
  const char* flag;   // "--dark-wake-every"
  const char* field;  // "darkWakeEvery"
  double low;
  double high;
  std::optional<double> SleepOptions::*member;
};

struct SleepFlagOption {
  const char* flag;   // "--plug-wake"
  const char* field;  // "plugWake"
  bool SleepOptions::*member;
};

const std::vector<SleepNumberOption>& SleepNumberOptions();
const std::vector<SleepFlagOption>& SleepFlagOptions();

// Reads "hours" and the option fields of a "sleep" control request. Throws
// NativeControlError naming the field, e.g. "Control request field linger:
// expected a number from 0 to 3600", or the pair of options that go
// together.
SleepOptions ReadSleepOptions(JsonObjectReader& request);

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_SLEEP_OPTIONS_H_
