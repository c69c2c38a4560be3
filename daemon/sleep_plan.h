#ifndef AMPERVALE_DAEMON_SLEEP_PLAN_H_
#define AMPERVALE_DAEMON_SLEEP_PLAN_H_

#include <cstdint>
#include <functional>
#include <optional>

#include "control/power_controller.h"

namespace ampervale {

// What the daemon knows when the system is about to sleep.
struct SleepInputs {
  NativePowerController::Mode mode;
  std::optional<int64_t> limit;  // the stored limit
  bool adapterCutOff = false;    // the stored policy keeps the adapter off
  // Reads the battery; called only when the plan depends on it.
  std::function<std::optional<int64_t>()> readLevel;
};

// What to do before allowing the sleep. Only the legacy modes need anything:
// their keys know "allowed" and "inhibited", not a limit, and nothing flips
// them while the machine sleeps.
struct SleepPlan {
  enum class Action {
    kNothing,  // no limit to hold, or the firmware holds it
    kInhibit,  // at or one below the limit: inhibit charging, book nothing
    kWake,     // charge on, and wake the machine before it can pass the limit
  };
  Action action = Action::kNothing;
  double wakeAfter = 0;  // seconds, for kWake
  int64_t level = 0;     // the level planned from, for kWake
};

// A wake shorter than this is not worth the sleep and wake around it; the
// battery is close enough to the limit to be held there instead.
inline constexpr double kShortestWake = 60;

// The plan for `inputs` when the battery may charge by up to
// `percentPerHour`. The wake is booked for when a battery charging at that
// rate could at most have reached the limit, counting the fraction of a
// percent that a whole-percent level hides.
SleepPlan PlanSleep(const SleepInputs& inputs, double percentPerHour);

// The charge rate assumed while the machine sleeps. It starts at the
// fastest any Mac notebook charges, 1.7 % a minute (0 to 50 % in half an
// hour on the fastest chargers), and learns the real rate from wakes that
// surely were the daemon's own: the level gained over the time asleep,
// rounded up by the percent a whole-percent level hides, plus a tenth. It
// drops at most by half at a time, never below kSlowestPerHour, and starts
// over once the machine is fully awake, so that no night, and no other
// charger, inherits another's estimate.
class ChargeRate {
 public:
  static constexpr double kFastestPerHour = 102;
  static constexpr double kSlowestPerHour = 20;

  double perHour() const { return perHour_; }

  // A wake was booked `seconds` ahead with the battery at `level`.
  void Booked(int64_t level, double seconds);
  // The machine woke; `secondsAsleep` is the time asleep when the system
  // could measure it, absent when only the booking tells.
  void Woke(std::optional<double> secondsAsleep);
  // The level the first pass after the wake read.
  void LevelAfterWake(std::optional<int64_t> level);
  // The machine sleeps again without having come fully awake: the wake was
  // a short one for the daemon's booking, and its measurement counts.
  void SleepsAgain();
  // Forgets the night: the next one starts from the fastest rate.
  void Reset();

 private:
  struct Interval {
    int64_t startLevel;
    double seconds;
  };

  double perHour_ = kFastestPerHour;
  std::optional<Interval> booked_;
  std::optional<Interval> measuring_;  // woke, waiting for the level
  std::optional<double> measured_;     // the rate of the last interval
};

}  // namespace ampervale

#endif  // AMPERVALE_DAEMON_SLEEP_PLAN_H_
