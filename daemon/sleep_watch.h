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

// "policy.lock" as the night holds it: from the answer to "will sleep"
// until the pass after the full wake, so that no command changes the
// hardware or the policy the night was planned for.
class PolicyHold {
 public:
  virtual ~PolicyHold() = default;
  // Takes the lock if it comes free within `seconds`. True when held, also
  // when it already was.
  virtual bool Take(double seconds) = 0;
  // Lets go of it, if held.
  virtual void Release() = 0;
  virtual bool held() const = 0;
  // REQUIRES: held(). Throw what the store throws.
  virtual NativePowerPolicy Load() const = 0;
  virtual void Save(const NativePowerPolicy& policy) const = 0;
};

// The current controller; one whose last pass failed is rebuilt first.
using ControllerSource = std::function<NativePowerController&()>;

// The daemon's side of the system's sleep and wake. From "will sleep"
// until "has woken" the machine is asleep to the daemon: it may wake dark
// (no notice, display off) and run passes, but never a pass of the awake
// rule. Before each stretch of sleep the watch inhibits charging or lets
// it charge until a booked wake, and learns the charge rate from the wakes
// it booked itself.
class SleepWatch {
 public:
  // A refused registration is tried again after this long.
  static constexpr double kRegisterAgainAfter = 30;
  // Awake this long after a full wake without a sleep notice: whatever
  // the night taught is forgotten (another charger, another night).
  static constexpr double kFullyAwakeAfter = 600;
  // How long a sleep notice waits for "policy.lock", and for a level that
  // moved, so that the answer comes within 20 s at worst.
  static constexpr double kLockWait = 8;
  static constexpr double kLevelLagWait = 8;
  // After a wake that showed no gain, charging stays inhibited until a
  // look this much later, doubling up to the longest.
  static constexpr double kFirstLateLook = 2 * 3600;
  static constexpr double kLongestLateLook = 8 * 3600;

  // `environment` and `policy` must outlive the watch.
  SleepWatch(const DaemonEnvironment& environment, PolicyHold& policy,
             ControllerSource controller);

  // Registers; a refusal is written as one line to standard error.
  void Start();

  // Before every pass: registers again after a lost registration.
  void BeforePass();

  // True from "will sleep" until the full wake: the pass to run is
  // NightPass, not the awake one.
  bool night() const { return night_; }

  // A pass asleep to the daemon (a dark wake, or the linger before the
  // sleep): ends the night when the display is back, and otherwise only
  // stops charging that can no longer wait for the booked wake.
  void NightPass();

  // Waits up to `seconds` for the next pass, less when the system has just
  // woken. Sleep notices that come meanwhile are answered after planning.
  void WaitForNextPass(double seconds);

  // The awake pass read `level`; after the full wake the lock is let go.
  void Passed(std::optional<int64_t> level);

 private:
  void Register(bool quietly);
  void Drop();
  bool Receive(double seconds);
  void BeforeSleep(uint32_t id);
  void Woke(std::optional<double> ownWakeAfter);
  void Plan(double lockWait);
  void Fallback();
  SleepInputs Inputs(const NativePowerController& controller,
                     const NativePowerPolicy& policy,
                     std::optional<int64_t> level) const;
  std::optional<int64_t> FreshLevel();
  SleepPlan LearnAndPlan(SleepInputs inputs);
  void Carry(const SleepPlan& plan, NativePowerController& controller,
             NativePowerPolicy& policy, std::optional<int64_t> level);
  bool Book(std::optional<double> seconds);
  void ForgetNight();

  const DaemonEnvironment& environment_;
  PolicyHold& policy_;
  ControllerSource controller_;
  std::unique_ptr<platform::PowerNotices> notices_;
  double registerAgainAt_ = 0;
  bool night_ = false;
  bool booked_ = false;
  // The stretch asleep planned last: the level it started from and
  // whether it lets the battery charge.
  std::optional<int64_t> plannedLevel_;
  bool charging_ = false;
  std::optional<int64_t> seenAsleep_;   // the highest level passes read since
  std::optional<double> ownWakeAfter_;  // the daemon's own wake, unused yet
  std::optional<double> awakeSince_;
  std::optional<int64_t> lastLevel_;
  std::optional<std::optional<int64_t>> lastLimit_;  // outer: ever loaded
  double lateLook_ = kFirstLateLook;
  ChargeRate rate_;
};

}  // namespace ampervale

#endif  // AMPERVALE_DAEMON_SLEEP_WATCH_H_
