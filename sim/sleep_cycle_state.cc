// What the sleep cycle shows and how long it takes: the root domain's
// capabilities, the level the battery reports, the live view's line and the
// state document.

#include <algorithm>
#include <cmath>

#include "sim/physics.h"
#include "sim/simulated_mac.h"
#include "sim/sleep_cycle.h"

namespace ampervale::sim {

double SleepCycle::LongestRealSeconds(const SleepOptions& options,
                                      double time_scale) {
  constexpr int kRounds = 10 + 2;
  double night = options.hours * 3600;
  double dark = 0;
  if (options.dark_wake_every) {
    dark = (std::floor(night / (*options.dark_wake_every * 60)) + 1) *
           options.dark_wake_seconds.value_or(kDefaultDarkWakeSeconds);
  }
  double round =
      options.linger.value_or(0) +
      std::max(options.full_wake_seconds.value_or(0), kPlugWakeSeconds);
  return night / kSleepSpeed + kRounds * kAnswerLimit +
         (dark + kRounds * round) / time_scale;
}

uint64_t SleepCycle::Capabilities() const {
  switch (phase_) {
    case Phase::kAwake:
    case Phase::kFullWake:
      return kCPU | kGraphics;
    case Phase::kAsleep:
      return 0;
    default:
      return kCPU;
  }
}

std::optional<double> SleepCycle::LaggingLevel(double now) const {
  if (phase_ == Phase::kAsleep || !lag_ends_ || now >= *lag_ends_) {
    return std::nullopt;
  }
  return level_asleep_;
}

std::optional<double> SleepCycle::AwakePeriodEnd() const {
  if (phase_ == Phase::kLingering || phase_ == Phase::kDarkWake ||
      phase_ == Phase::kFullWake) {
    return period_ends_;
  }
  return std::nullopt;
}

std::string SleepCycle::PhaseName() const {
  switch (phase_) {
    case Phase::kAwake:
      return "awake";
    case Phase::kNotifying:
      return "going to sleep";
    case Phase::kLingering:
      return "lingering dark until " + ClockText(period_ends_);
    case Phase::kAsleep:
      return "asleep until " + ClockText(asleep_until_);
    case Phase::kDarkWake:
      return "dark wake until " + ClockText(period_ends_);
    case Phase::kFullWake:
      return "full wake until " + ClockText(period_ends_);
  }
  return "unknown";
}

std::string SleepCycle::Summary() const {
  return PhaseName() + "; " + std::to_string(clients_.size()) + " client(s), " +
         std::to_string(wakes_served_) + " booked wake(s) served, " +
         std::to_string(late_answers_) + " late answer(s); " + NightText();
}

std::string SleepCycle::NightText() const {
  return std::to_string(full_wakes_) + " full wake(s), " +
         std::to_string(dark_wakes_) + " dark wake(s), highest level " +
         PercentText(highest_level_);
}

nlohmann::json SleepCycle::StateJson() const {
  nlohmann::json booked = nlohmann::json::array();
  for (const auto& [number, client] : clients_) {
    if (client.wake_at) booked.push_back(*client.wake_at);
  }
  static const char* const kPhases[] = {"awake",  "notifying", "lingering",
                                        "asleep", "dark wake", "full wake"};
  return {{"asleep", asleep()},
          {"goingToSleep", phase_ == Phase::kNotifying},
          {"phase", kPhases[static_cast<int>(phase_)]},
          {"registered", clients_.size()},
          {"bookedWakes", booked},
          {"scheduledWakesServed", wakes_served_},
          {"lateAnswers", late_answers_},
          {"longestAnswerSeconds", longest_answer_},
          {"fullWakes", full_wakes_},
          {"darkWakes", dark_wakes_},
          {"highestLevel", highest_level_}};
}

}  // namespace ampervale::sim
