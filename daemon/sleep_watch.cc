#include "daemon/sleep_watch.h"

#include <algorithm>
#include <ostream>

#include "daemon/daemon_loop.h"
#include "platform/io_return.h"

namespace ampervale {

namespace {

using Action = SleepPlan::Action;
using Kind = platform::PowerNotice::Kind;

// A wall clock that moved less than this across a sleep stood still (the
// host of a simulated Mac): it cannot tell how long the machine slept.
constexpr double kWallClockStoodStill = 1;

}  // namespace

SleepWatch::SleepWatch(const DaemonEnvironment& environment,
                       PolicyStep withPolicy)
    : environment_(environment), withPolicy_(std::move(withPolicy)) {}

void SleepWatch::Start() { Register(/*quietly=*/false); }

void SleepWatch::Register(bool quietly) {
  platform::PowerRegistration registration = environment_.registerPower();
  notices_ = std::move(registration.notices);
  if (notices_) return;
  registerAgainAt_ = environment_.now() + kRegisterAgainAfter;
  if (quietly) return;
  // A failed write to standard error changes nothing for the loop.
  *environment_.err << "Cannot register for system sleep notices: "
                    << registration.failure << '\n'
                    << std::flush;
  environment_.err->clear();
}

void SleepWatch::Drop() {
  notices_.reset();
  asleep_ = false;
  booked_ = false;
  wokeAt_.reset();
  rate_.Reset();
  registerAgainAt_ = environment_.now() + kRegisterAgainAfter;
}

void SleepWatch::WaitForNextPass(double seconds,
                                 NativePowerController& controller) {
  if (!notices_ && environment_.now() >= registerAgainAt_) Register(true);
  if (!notices_) {
    environment_.sleep(seconds);
    return;
  }
  double passDue = environment_.now() + seconds;
  for (;;) {
    double until =
        asleep_ ? std::max(passDue, sleptAt_ + kLongestSleep) : passDue;
    double left = until - environment_.now();
    if (left <= 0) break;
    std::optional<platform::PowerNotice> notice = notices_->Wait(left);
    if (notices_->broken()) {
      Drop();
      environment_.sleep(std::max(0.0, passDue - environment_.now()));
      return;
    }
    if (!notice) {
      // Whatever ended the wait early, the rhythm stays.
      environment_.sleep(std::max(0.0, until - environment_.now()));
      break;
    }
    if (notice->kind == Kind::kHasWoken) {
      Woke();
      return;
    }
    BeforeSleep(notice->id, controller);
  }
  asleep_ = false;
  CheckFullyAwake();
}

void SleepWatch::Passed(std::optional<int64_t> level) {
  rate_.LevelAfterWake(level);
}

void SleepWatch::BeforeSleep(uint32_t id, NativePowerController& controller) {
  // Back to sleep before fully awake: the last wake was the booked one.
  if (wokeAt_) rate_.SleepsAgain();
  wokeAt_.reset();
  bool bookedBefore = booked_;
  booked_ = false;
  try {
    withPolicy_(
        [&](const NativePowerPolicy& policy) { Prepare(controller, policy); });
  } catch (...) {
    // The sleep goes ahead all the same; the next pass reports the failure.
  }
  if (bookedBefore && !booked_) notices_->CancelWake();
  notices_->AllowSleep(id);
  asleep_ = true;
  sleptAt_ = environment_.now();
  sleptAtWall_ = environment_.wallClock();
}

void SleepWatch::Prepare(NativePowerController& controller,
                         const NativePowerPolicy& policy) {
  SleepPlan plan = PlanSleep({.mode = controller.mode(),
                              .limit = policy.upperLimit,
                              .adapterCutOff = policy.adapterEnabled == false,
                              .readLevel = environment_.batteryPercentage},
                             rate_.perHour());
  if (plan.action == Action::kWake) {
    if (notices_->BookWake(plan.wakeAfter) == platform::kIOCodeSuccess) {
      booked_ = true;
      rate_.Booked(plan.level, plan.wakeAfter);
      return;
    }
    // A wake that cannot be booked must not cost the limit.
    plan.action = Action::kInhibit;
  }
  if (plan.action == Action::kInhibit) {
    // What the limit asks of a battery at the limit: charging inhibited.
    controller.applyLimit(*policy.upperLimit, *policy.upperLimit);
  }
}

void SleepWatch::Woke() {
  asleep_ = false;
  double wall = environment_.wallClock() - sleptAtWall_;
  rate_.Woke(wall >= kWallClockStoodStill ? std::optional(wall) : std::nullopt);
  // Booked for this wake, or for one that another cause came before: either
  // way the next sleep books afresh, and a Mac left awake keeps no wake.
  if (booked_) notices_->CancelWake();
  booked_ = false;
  wokeAt_ = environment_.now();
}

void SleepWatch::CheckFullyAwake() {
  if (!wokeAt_ || environment_.now() - *wokeAt_ < kFullyAwakeAfter) return;
  rate_.Reset();
  wokeAt_.reset();
}

}  // namespace ampervale
