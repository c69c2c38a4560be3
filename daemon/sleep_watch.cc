#include "daemon/sleep_watch.h"

#include <algorithm>
#include <ostream>
#include <utility>

#include "daemon/daemon_loop.h"
#include "platform/io_return.h"

namespace ampervale {

namespace {

using Charging = SleepPlan::Charging;
using Kind = platform::PowerNotice::Kind;

constexpr double kSecondsPerHour = 3600;
// How often a sleep notice looks again for the lock or a moved level.
constexpr double kRetryStep = 0.5;

}  // namespace

SleepWatch::SleepWatch(const DaemonEnvironment& environment, PolicyHold& policy,
                       ControllerSource controller)
    : environment_(environment),
      policy_(policy),
      controller_(std::move(controller)) {}

void SleepWatch::Start() { Register(/*quietly=*/false); }

void SleepWatch::BeforePass() {
  if (!notices_ && environment_.now() >= registerAgainAt_) Register(true);
}

void SleepWatch::Register(bool quietly) {
  platform::PowerRegistration registration = environment_.registerPower();
  notices_ = std::move(registration.notices);
  if (notices_) {
    // Started, or registered again, with the display off: a night is
    // under way and nobody will say "will sleep".
    std::optional<uint64_t> capabilities = environment_.systemCapabilities();
    if (capabilities && !(*capabilities & platform::kCapabilityGraphics)) {
      night_ = true;
      Plan(kLockWait);
    }
    notices_->CancelLeftoverWakes();
    return;
  }
  registerAgainAt_ = environment_.now() + kRegisterAgainAfter;
  if (quietly) return;
  // A failed write to standard error changes nothing for the loop.
  *environment_.err << "Cannot register for system sleep notices: "
                    << registration.failure << '\n'
                    << std::flush;
  environment_.err->clear();
}

// The registration went away: the next pass registers again and asks the
// system whether it is in a night.
void SleepWatch::Drop() {
  notices_.reset();
  booked_ = false;
  night_ = false;
  ForgetNight();
  registerAgainAt_ = environment_.now();
}

void SleepWatch::WaitForNextPass(double seconds) {
  if (!notices_) {
    environment_.sleep(seconds);
    return;
  }
  double passDue = environment_.now() + seconds;
  while (Receive(passDue - environment_.now())) {
  }
}

// Waits up to `seconds` for a notice and acts on it. True when the wait
// for the next pass goes on.
bool SleepWatch::Receive(double seconds) {
  if (seconds <= 0) return false;
  double until = environment_.now() + seconds;
  std::optional<platform::PowerNotice> notice = notices_->Wait(seconds);
  if (notices_->broken()) {
    Drop();
  } else if (notice && notice->kind == Kind::kHasWoken) {
    Woke(notice->ownWakeAfter);
    return false;
  } else if (notice) {
    BeforeSleep(notice->id);
    return true;
  }
  // Whatever ended the wait early, the rhythm stays.
  environment_.sleep(std::max(0.0, until - environment_.now()));
  return false;
}

void SleepWatch::BeforeSleep(uint32_t id) {
  night_ = true;
  awakeSince_.reset();
  Plan(kLockWait);
  notices_->AllowSleep(id);
}

void SleepWatch::Woke(std::optional<double> ownWakeAfter) {
  night_ = false;
  // A wake that came before the booked one leaves that booked: a Mac left
  // awake keeps no wake, and the next sleep books afresh.
  if (booked_ && !ownWakeAfter) notices_->CancelWake();
  booked_ = false;
  ownWakeAfter_ = ownWakeAfter;
  // Only the daemon's own wakes measure the rate: any other may have come
  // at any time, with another charger.
  if (!ownWakeAfter) rate_.Forget();
  awakeSince_ = environment_.now();
}

void SleepWatch::NightPass() {
  std::optional<uint64_t> capabilities = environment_.systemCapabilities();
  if (capabilities && (*capabilities & platform::kCapabilityGraphics)) {
    // Fully awake: a "has woken" already sent is the better news.
    while (notices_ && night_ && Receive(0.001)) {
    }
    if (night_) Woke(std::nullopt);
    return;
  }
  if (!policy_.held()) {
    // The notice found the lock taken: plan once it is free.
    if (policy_.Take(0)) Plan(0);
    return;
  }
  try {
    NativePowerPolicy policy = policy_.Load();
    NativePowerController& controller = controller_();
    // Unread (on a simulated Mac, a read that waited out a deep sleep), the
    // level changes nothing: the plan made before the sleep stands.
    std::optional<int64_t> level = environment_.batteryPercentage();
    if (!level) return;
    lastLevel_ = level;
    seenAsleep_ = std::max(seenAsleep_.value_or(*level), *level);
    SleepPlan plan = PlanSleep(Inputs(controller, policy, level));
    // A dark wake may read a level from before it: it only ever stops
    // charging, never lets it go on longer.
    if ((charging_ && plan.charging == Charging::kInhibit) || plan.adapterOn) {
      Carry(plan, controller, policy, level);
    }
  } catch (...) {
    // The booked wake stands; the next pass looks again.
  }
}

void SleepWatch::Passed(std::optional<int64_t> level) {
  if (level) lastLevel_ = level;
  // Only the awake pass gets here: the night, if there was one, is over.
  policy_.Release();
  if (awakeSince_ && environment_.now() - *awakeSince_ >= kFullyAwakeAfter) {
    ForgetNight();
  }
}

void SleepWatch::ForgetNight() {
  rate_.Forget();
  plannedLevel_.reset();
  seenAsleep_.reset();
  charging_ = false;
  ownWakeAfter_.reset();
  awakeSince_.reset();
  lateLook_ = kFirstLateLook;
}

void SleepWatch::Plan(double lockWait) {
  double giveUpAt = environment_.now() + lockWait;
  while (!policy_.Take(0) && environment_.now() < giveUpAt) {
    environment_.sleep(kRetryStep);
  }
  if (!policy_.held()) {
    Fallback();
    return;
  }
  try {
    NativePowerPolicy policy = policy_.Load();
    lastLimit_ = policy.upperLimit;
    NativePowerController& controller = controller_();
    std::optional<int64_t> level = FreshLevel();
    SleepPlan plan = LearnAndPlan(Inputs(controller, policy, level));
    Carry(plan, controller, policy, level);
  } catch (...) {
    Fallback();
  }
}

SleepInputs SleepWatch::Inputs(const NativePowerController& controller,
                               const NativePowerPolicy& policy,
                               std::optional<int64_t> level) const {
  return {.mode = controller.mode(),
          .limit = policy.upperLimit,
          .adapterCutOff = policy.adapterEnabled == false,
          .level = level,
          .pluggedIn = environment_.pluggedIn(),
          .percentPerHour = rate_.planningPerHour()};
}

// After a stretch that let the battery charge, a level no higher than one
// seen before may be the one the machine fell asleep with: it is read again
// for a few seconds.
std::optional<int64_t> SleepWatch::FreshLevel() {
  double giveUpAt = environment_.now() + kLevelLagWait;
  std::optional<int64_t> seen = std::max(plannedLevel_, seenAsleep_);
  for (;;) {
    std::optional<int64_t> level = environment_.batteryPercentage();
    bool moved = !level || !seen || *level > *seen;
    if (moved || !charging_ || environment_.now() >= giveUpAt) {
      if (level) lastLevel_ = level;
      return level;
    }
    environment_.sleep(kRetryStep);
  }
}

SleepPlan SleepWatch::LearnAndPlan(SleepInputs inputs) {
  std::optional<double> slept = std::exchange(ownWakeAfter_, std::nullopt);
  bool measured = slept && charging_ && plannedLevel_ && inputs.level;
  if (measured) {
    rate_.Measured(static_cast<double>(*inputs.level - *plannedLevel_), *slept);
  }
  inputs.percentPerHour = rate_.planningPerHour();
  SleepPlan plan = PlanSleep(inputs);
  bool stalled = measured && *inputs.level <= *plannedLevel_;
  if (stalled && plan.charging == Charging::kAllow) {
    // Held by the system, or not charging at all: waking again soon would
    // only light the display again.
    plan.charging = Charging::kInhibit;
    plan.wakeAfter = lateLook_;
    lateLook_ = std::min(2 * lateLook_, kLongestLateLook);
  } else if (measured) {
    lateLook_ = kFirstLateLook;
  }
  return plan;
}

void SleepWatch::Carry(const SleepPlan& plan, NativePowerController& controller,
                       NativePowerPolicy& policy,
                       std::optional<int64_t> level) {
  plannedLevel_ = level;
  seenAsleep_.reset();
  charging_ = false;
  if (plan.adapterOn) {
    controller.setAdapter(true);
    policy.adapterEnabled = true;
    policy_.Save(policy);
  }
  if (plan.charging == Charging::kInhibit) {
    controller.applyLimit(*policy.upperLimit, *policy.upperLimit);
  }
  bool booked = Book(plan.wakeAfter);
  if (plan.charging != Charging::kAllow) return;
  // A wake that cannot be booked must not cost the limit.
  controller.applyLimit(*policy.upperLimit,
                        booked ? *level : *policy.upperLimit);
  charging_ = booked;
}

bool SleepWatch::Book(std::optional<double> seconds) {
  if (booked_) notices_->CancelWake();
  booked_ = seconds && notices_->BookWake(*seconds) == platform::kIOCodeSuccess;
  return booked_;
}

// No plan could be made: wake as soon as the fastest charge could need it,
// from what the daemon last knew.
void SleepWatch::Fallback() {
  plannedLevel_.reset();
  charging_ = false;
  if (lastLimit_ && !*lastLimit_) return;  // nothing to hold
  double seconds = kShortestWake;
  if (lastLimit_ && lastLevel_) {
    auto headroom = static_cast<double>(**lastLimit_ - *lastLevel_);
    seconds = std::max(seconds, headroom / kFastestPerHour * kSecondsPerHour);
  }
  Book(seconds);
}

}  // namespace ampervale
