#ifndef AMPERVALE_DAEMON_SLEEP_PLAN_H_
#define AMPERVALE_DAEMON_SLEEP_PLAN_H_

#include <cstdint>
#include <optional>

#include "control/power_controller.h"

namespace ampervale {

// What the daemon knows when it plans a stretch of the night.
struct SleepInputs {
  NativePowerController::Mode mode;
  std::optional<int64_t> limit;  // the stored limit
  bool adapterCutOff = false;    // the stored policy keeps the adapter off
  std::optional<int64_t> level;  // whole percents; the battery may be up
                                 // to one more
  // "ExternalConnected": false only when the battery says it runs on its
  // own. A policy that cuts the adapter off plans as if plugged in, since a
  // Mac may report the adapter missing then.
  std::optional<bool> pluggedIn;
  // The fastest the battery may charge until the next look, percent an
  // hour (already doubled from what was measured, and bounded).
  double percentPerHour = 0;
};

// What to do before the machine sleeps on. The legacy modes' keys know
// "allowed" and "inhibited", not a limit, and nothing flips them while the
// machine sleeps; a cut-off adapter lets the battery drain on the charger.
struct SleepPlan {
  enum class Charging {
    kUntouched,  // no limit to hold, or the firmware holds it
    kInhibit,    // stop charging here
    kAllow,      // charge on until the booked wake
  };
  Charging charging = Charging::kUntouched;
  bool adapterOn = false;           // switch the cut-off adapter back on
  std::optional<double> wakeAfter;  // seconds; book a wake
};

// Every booked wake lights a Mac's display; powerd keeps a Mac awake for
// a wake due within a minute. A wake closer than this is not booked.
inline constexpr double kShortestWake = 120;
// The fastest any Mac notebook charges: 1.7 % a minute.
inline constexpr double kFastestPerHour = 102;
// A cut-off adapter is switched back on at this level, and a sleep on the
// battery drains it at most this fast.
inline constexpr int64_t kAdapterSafetyPercentage = 3;
inline constexpr double kFastestDrainPerHour = 5;

// The plan for `inputs`. A wake is booked for when a battery charging at
// the given rate could at most reach the limit + 1, counting the fraction
// of a percent that a whole-percent level hides; closer than kShortestWake
// to that, charging is inhibited instead.
SleepPlan PlanSleep(const SleepInputs& inputs);

// The charge rate measured over the daemon's own booked wakes, and the
// rate it plans with: twice the last measurement, never more than the
// fastest bound, which it also plans with when it knows nothing. A
// measurement falls at most to half the one before (half of half the
// fastest bound after none).
class ChargeRate {
 public:
  // The battery gained `gained` whole percents over `seconds` asleep. A
  // gain of 0 says nothing about the rate (a battery held, lagging or on
  // its own): it forgets what it knew.
  void Measured(double gained, double seconds);
  void Forget() { perHour_.reset(); }
  double planningPerHour() const;

 private:
  std::optional<double> perHour_;
};

}  // namespace ampervale

#endif  // AMPERVALE_DAEMON_SLEEP_PLAN_H_
