#include "sim/sleep_options.h"

#include "common/native_control_error.h"

namespace ampervale::sim {

namespace {

constexpr double kMaxMinutes = kMaxSleepHours * 60;
constexpr double kMaxAwakeSeconds = 3600;
constexpr double kMaxRate = 1e6;  // as a machine description allows

}  // namespace

const std::vector<SleepNumberOption>& SleepNumberOptions() {
  // Dark wakes at least a minute apart keep a 48-hour night to a few
  // thousand of them.
  static const std::vector<SleepNumberOption> options{
      {"--dark-wake-every", "darkWakeEvery", 1, kMaxMinutes,
       &SleepOptions::dark_wake_every},
      {"--dark-wake-seconds", "darkWakeSeconds", 0, kMaxAwakeSeconds,
       &SleepOptions::dark_wake_seconds},
      {"--linger", "linger", 0, kMaxAwakeSeconds, &SleepOptions::linger},
      {"--full-wake-seconds", "fullWakeSeconds", 0, kMaxAwakeSeconds,
       &SleepOptions::full_wake_seconds},
      {"--level-lag", "levelLag", 0, kMaxAwakeSeconds,
       &SleepOptions::level_lag},
      {"--rate-change-at", "rateChangeAt", 0, kMaxMinutes,
       &SleepOptions::rate_change_at},
      {"--rate-after", "rateAfter", 0, kMaxRate, &SleepOptions::rate_after},
      {"--rate-above-80", "rateAbove80", 0, kMaxRate,
       &SleepOptions::rate_above_80},
      {"--hold-80-hours", "hold80Hours", 0, kMaxSleepHours,
       &SleepOptions::hold_80_hours},
      {"--plug-in-at", "plugInAt", 0, kMaxMinutes, &SleepOptions::plug_in_at},
      {"--pull-out-at", "pullOutAt", 0, kMaxMinutes,
       &SleepOptions::pull_out_at},
      {"--keys-reset-at", "keysResetAt", 0, kMaxMinutes,
       &SleepOptions::keys_reset_at},
  };
  return options;
}

const std::vector<SleepFlagOption>& SleepFlagOptions() {
  static const std::vector<SleepFlagOption> options{
      {"--plug-wake", "plugWake", &SleepOptions::plug_wake},
      {"--refuse-bookings", "refuseBookings", &SleepOptions::refuse_bookings},
  };
  return options;
}

SleepOptions ReadSleepOptions(JsonObjectReader& request) {
  SleepOptions options;
  options.hours = request.Number("hours", 0, kMaxSleepHours);
  for (const SleepNumberOption& option : SleepNumberOptions()) {
    if (request.Find(option.field) != nullptr) {
      options.*option.member =
          request.Number(option.field, option.low, option.high);
    }
  }
  for (const SleepFlagOption& option : SleepFlagOptions()) {
    options.*option.member = request.Boolean(option.field, false);
  }
  // Alone, either would be silently ignored.
  if (options.rate_change_at.has_value() != options.rate_after.has_value()) {
    throw NativeControlError(
        "A rate change needs both its time and its rate (--rate-change-at "
        "and --rate-after)");
  }
  if (options.dark_wake_seconds && !options.dark_wake_every) {
    throw NativeControlError(
        "--dark-wake-seconds needs --dark-wake-every: how often the machine "
        "wakes dark");
  }
  return options;
}

}  // namespace ampervale::sim
