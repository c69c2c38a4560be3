#ifndef AMPERVALE_DAEMON_SLEEP_WATCH_H_
#define AMPERVALE_DAEMON_SLEEP_WATCH_H_

#include <functional>
#include <memory>
#include <optional>

#include "control/power_controller.h"
#include "daemon/sleep_plan.h"
#include "platform/power_notices.h"
#include "store/power_policy.h"

namespace ampervale {

struct DaemonEnvironment;

// Runs `step` with the stored policy, holding the policy lock around it so
// that no command changes the hardware meanwhile. Throws what loading or
// locking threw.
using PolicyStep =
    std::function<void(const std::function<void(const NativePowerPolicy&)>&)>;

// The daemon's side of the system's sleep and wake: it keeps the power
// registration, answers sleep notices after preparing the charge control
// for the night, books and cancels wakes, and learns the charge rate.
class SleepWatch {
 public:
  // A registration lost or refused is tried again after this long.
  static constexpr double kRegisterAgainAfter = 30;
  // A sleep allowed is followed by a wake notice; passes wait for it this
  // long at most, since a pass begun asleep would only wait for the SMC.
  static constexpr double kLongestSleep = 60;
  // Awake this long after a wake without a sleep notice: fully awake.
  static constexpr double kFullyAwakeAfter = 30;

  // `environment` must outlive the watch.
  SleepWatch(const DaemonEnvironment& environment, PolicyStep withPolicy);

  // Registers; a refusal is written as one line to standard error.
  void Start();

  // Waits up to `seconds` for the next pass: less when the system has just
  // woken, more while it sleeps. Sleep notices that come meanwhile are
  // answered after preparing with `controller`.
  void WaitForNextPass(double seconds, NativePowerController& controller);

  // The battery level the pass just read.
  void Passed(std::optional<int64_t> level);

 private:
  void Register(bool quietly);
  void Drop();
  void BeforeSleep(uint32_t id, NativePowerController& controller);
  void Prepare(NativePowerController& controller,
               const NativePowerPolicy& policy);
  void Woke();
  void CheckFullyAwake();

  const DaemonEnvironment& environment_;
  PolicyStep withPolicy_;
  std::unique_ptr<platform::PowerNotices> notices_;
  double registerAgainAt_ = 0;
  bool asleep_ = false;
  double sleptAt_ = 0;      // the daemon's clock
  double sleptAtWall_ = 0;  // the wall clock
  bool booked_ = false;
  std::optional<double> wokeAt_;  // the last wake, until fully awake
  ChargeRate rate_;
};

}  // namespace ampervale

#endif  // AMPERVALE_DAEMON_SLEEP_WATCH_H_
