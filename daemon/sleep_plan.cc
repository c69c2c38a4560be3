#include "daemon/sleep_plan.h"

#include <algorithm>

namespace ampervale {

namespace {

using Mode = NativePowerController::Mode;
using Action = SleepPlan::Action;

constexpr double kSecondsPerHour = 3600;
// Charge rates vary a little from one interval to the next.
constexpr double kRateMargin = 1.1;

}  // namespace

SleepPlan PlanSleep(const SleepInputs& inputs, double percentPerHour) {
  bool legacy =
      inputs.mode == Mode::legacyPair || inputs.mode == Mode::legacySingle;
  if (!legacy || !inputs.limit || inputs.adapterCutOff) return {};
  std::optional<int64_t> level = inputs.readLevel();
  // Unknown level: nothing to plan a wake from, so nothing may charge.
  if (!level) return {Action::kInhibit};
  // The level is whole percents; the battery may be up to one more.
  auto headroom = static_cast<double>(*inputs.limit - 1 - *level);
  double seconds = headroom / percentPerHour * kSecondsPerHour;
  if (headroom <= 0 || !(seconds >= kShortestWake)) return {Action::kInhibit};
  return {Action::kWake, seconds, *level};
}

void ChargeRate::Booked(int64_t level, double seconds) {
  booked_ = Interval{level, seconds};
  measuring_.reset();
  measured_.reset();
}

void ChargeRate::Woke(std::optional<double> secondsAsleep) {
  measuring_ = booked_;
  if (measuring_ && secondsAsleep) measuring_->seconds = *secondsAsleep;
  booked_.reset();
  measured_.reset();
}

void ChargeRate::LevelAfterWake(std::optional<int64_t> level) {
  if (!measuring_) return;
  auto gained =
      static_cast<double>(level.value_or(-1) - measuring_->startLevel);
  // A level that fell, or cannot be read, says nothing about charging.
  if (level && gained >= 0 && measuring_->seconds > 0) {
    measured_ =
        kRateMargin * (gained + 1) / measuring_->seconds * kSecondsPerHour;
  }
  measuring_.reset();
}

void ChargeRate::SleepsAgain() {
  if (measured_) {
    perHour_ = std::clamp(*measured_, std::max(perHour_ / 2, kSlowestPerHour),
                          kFastestPerHour);
  }
  measured_.reset();
  measuring_.reset();
}

void ChargeRate::Reset() { *this = ChargeRate(); }

}  // namespace ampervale
