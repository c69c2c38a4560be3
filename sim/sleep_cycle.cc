#include "sim/sleep_cycle.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "common/native_control_error.h"
#include "sim/simulated_mac.h"

namespace ampervale::sim {

namespace {

std::string SecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", seconds);
  return text;
}

}  // namespace

uint64_t SleepCycle::RequestSleep(SimulatedMac& mac,
                                  const SleepOptions& options) {
  if (phase_ != Phase::kAwake) {
    throw NativeControlError("The machine is already going to sleep");
  }
  options_ = options;
  sleep_ends_ = mac.now() + options.hours * 3600;
  events_ = NightEvents(options, mac.now(), sleep_ends_);
  next_dark_.reset();
  if (options.dark_wake_every) {
    next_dark_ = mac.now() + *options.dark_wake_every * 60;
  }
  wakes_this_sleep_ = 0;
  user_wakes_this_sleep_.clear();
  full_wakes_ = dark_wakes_ = 0;
  highest_level_ = mac.battery().level;
  if (options.rate_above_80) mac.SetChargeRateAbove80(*options.rate_above_80);
  if (options.hold_80_hours.value_or(0) > 0) mac.HoldAt80(true);
  Notify(mac);
  return ++requested_;
}

void SleepCycle::Notify(SimulatedMac& mac) {
  SendWillSleep();
  notified_at_.reset();  // stamped by the next turn
  phase_ = Phase::kNotifying;
  mac.Note("will sleep: notice " + std::to_string(notice_) + " to " +
           std::to_string(clients_.size()) + " client(s)");
}

void SleepCycle::Turn(SimulatedMac& mac, double real_now) {
  double elapsed = std::max(real_now - last_real_, 0.0);
  last_real_ = real_now;
  if (!notified_at_) notified_at_ = real_now;
  if (phase_ == Phase::kAwake) return;
  Track(mac);
  if (phase_ == Phase::kAsleep) {
    SleepOn(mac, elapsed);
    return;
  }
  ApplyEvents(mac);
  if (phase_ == Phase::kNotifying) {
    CheckAnswers(mac, real_now);
  } else if (Due(period_ends_, mac.now())) {
    // A full wake ends in "will sleep"; lingering and dark wakes end in
    // sleep without a word.
    if (phase_ == Phase::kFullWake) {
      Notify(mac);
    } else {
      FallAsleep(mac);
    }
  }
}

void SleepCycle::CheckAnswers(SimulatedMac& mac, double real_now) {
  auto owed = static_cast<size_t>(
      std::count_if(clients_.begin(), clients_.end(),
                    [](const auto& each) { return each.second.owes_answer; }));
  bool timed_out = real_now - *notified_at_ >= kAnswerLimit;
  if (owed > 0 && !timed_out) return;
  if (owed > 0) {
    late_answers_ += owed;
    mac.Note(std::to_string(owed) + " client(s) did not answer in time");
    for (auto& [number, client] : clients_) client.owes_answer = false;
  }
  longest_answer_ = std::max(longest_answer_, real_now - *notified_at_);
  double linger = options_.linger.value_or(0);
  if (linger <= 0) {
    FallAsleep(mac);
    return;
  }
  phase_ = Phase::kLingering;
  period_ends_ = mac.now() + linger;
  mac.Note("lingering dark for " + SecondsText(linger));
}

void SleepCycle::FallAsleep(SimulatedMac& mac) {
  phase_ = Phase::kAsleep;
  level_asleep_ = mac.battery().level;
  // Dark wakes keep their times from the start of the sleep; those that
  // fell in an awake period are skipped.
  while (next_dark_ && Due(*next_dark_, mac.now())) {
    *next_dark_ += *options_.dark_wake_every * 60;
  }
  std::optional<double> wake = WakeBeforeEnd();
  asleep_until_ = wake.value_or(sleep_ends_);
  mac.Note("asleep until " + ClockText(asleep_until_) +
           (wake ? " (booked wake)" : ""));
}

void SleepCycle::SleepOn(SimulatedMac& mac, double real_seconds) {
  double budget = real_seconds * speed_;
  while (phase_ == Phase::kAsleep) {
    double step = std::max(NextStop() - mac.now(), 0.0);
    if (budget < step) {
      mac.Advance(budget);
      Track(mac);
      return;
    }
    mac.Advance(step);
    budget -= step;
    Track(mac);
    ReachStop(mac);
  }
}

void SleepCycle::ReachStop(SimulatedMac& mac) {
  std::optional<double> wake = WakeBeforeEnd();
  if (wake && Due(*wake, mac.now())) {
    FullWake(mac, /*booked=*/true);
  } else if (Due(sleep_ends_, mac.now())) {
    Finish(mac);
  } else if (events_.Next() && Due(*events_.Next(), mac.now())) {
    ApplyEvents(mac);
  } else if (next_dark_ && Due(*next_dark_, mac.now())) {
    DarkWake(mac);
  }
}

void SleepCycle::ApplyEvents(SimulatedMac& mac) {
  bool plugged = events_.ApplyDue(mac);
  if (plugged && options_.plug_wake &&
      (phase_ == Phase::kAsleep || phase_ == Phase::kDarkWake)) {
    FullWake(mac, /*booked=*/false);
  }
}

void SleepCycle::DarkWake(SimulatedMac& mac) {
  ++dark_wakes_;
  phase_ = Phase::kDarkWake;
  double seconds = options_.dark_wake_seconds.value_or(kDefaultDarkWakeSeconds);
  period_ends_ = mac.now() + seconds;
  StartLag(mac.now());
  mac.Note("dark wake " + std::to_string(dark_wakes_) + " for " +
           SecondsText(seconds));
}

void SleepCycle::FullWake(SimulatedMac& mac, bool booked) {
  ++full_wakes_;
  SendHasWoken(mac.now(), booked);
  StartLag(mac.now());
  double seconds =
      booked ? options_.full_wake_seconds.value_or(0) : kPlugWakeSeconds;
  if (booked) {
    ++wakes_served_;
    ++wakes_this_sleep_;
    mac.Note("booked wake " + std::to_string(wakes_this_sleep_) +
             (seconds > 0 ? ": full wake for " + SecondsText(seconds) : ""));
  } else {
    mac.Note("plug wake: full wake for " + SecondsText(seconds));
  }
  if (seconds <= 0) {
    Notify(mac);
    return;
  }
  phase_ = Phase::kFullWake;
  period_ends_ = mac.now() + seconds;
}

void SleepCycle::Finish(SimulatedMac& mac) {
  SendHasWoken(mac.now(), /*booked=*/false);
  StartLag(mac.now());
  phase_ = Phase::kAwake;
  ++completed_;
  mac.RestoreCharging();
  mac.Note("awake: " + NightText());
}

void SleepCycle::StartLag(double now) {
  lag_ends_ = now + options_.level_lag.value_or(0);
}

void SleepCycle::Track(const SimulatedMac& mac) {
  highest_level_ = std::max(highest_level_, mac.battery().level);
}

double SleepCycle::NextStop() const {
  double stop = sleep_ends_;
  for (std::optional<double> at :
       {WakeBeforeEnd(), events_.Next(), next_dark_}) {
    if (at) stop = std::min(stop, *at);
  }
  return stop;
}

}  // namespace ampervale::sim
