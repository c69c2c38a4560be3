#include "sim/sleep_cycle.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "common/native_control_error.h"
#include "sim/simulated_mac.h"

namespace ampervale::sim {

namespace {

constexpr uint32_t kWillSleep = 1;
constexpr uint32_t kHasWoken = 2;

}  // namespace

uint32_t SleepCycle::Register() {
  do {
    ++last_client_;
  } while (last_client_ == 0 || clients_.contains(last_client_));
  clients_[last_client_];
  return last_client_;
}

void SleepCycle::Deregister(uint32_t client) { clients_.erase(client); }

void SleepCycle::Allow(uint32_t client, uint32_t notice) {
  auto found = clients_.find(client);
  if (found != clients_.end() && notice == notice_) {
    found->second.owes_answer = false;
  }
}

void SleepCycle::BookWake(uint32_t client, double seconds, double now) {
  auto found = clients_.find(client);
  if (found == clients_.end() || !std::isfinite(seconds) || seconds < 0) {
    return;
  }
  found->second.wake_at = now + seconds;
}

void SleepCycle::CancelWake(uint32_t client) {
  auto found = clients_.find(client);
  if (found != clients_.end()) found->second.wake_at.reset();
}

std::vector<uint8_t> SleepCycle::TakeNotices(uint32_t client) {
  auto found = clients_.find(client);
  if (found == clients_.end()) return {};
  return std::exchange(found->second.notices, {});
}

uint64_t SleepCycle::RequestSleep(SimulatedMac& mac, double seconds) {
  if (phase_ != Phase::kAwake) {
    throw NativeControlError("The machine is already going to sleep");
  }
  sleep_ends_ = mac.now() + seconds;
  wakes_this_sleep_ = 0;
  Notify(mac);
  return ++requested_;
}

void SleepCycle::Send(uint32_t type, uint32_t notice) {
  for (auto& [number, client] : clients_) {
    for (uint32_t value : {type, notice}) {
      for (int i = 0; i < 4; ++i) {
        client.notices.push_back(static_cast<uint8_t>(value >> (8 * i)));
      }
    }
    if (type == kWillSleep) client.owes_answer = true;
  }
}

void SleepCycle::Notify(SimulatedMac& mac) {
  Send(kWillSleep, ++notice_);
  notified_at_.reset();  // stamped by the next turn
  phase_ = Phase::kNotifying;
  mac.Note("will sleep: notice " + std::to_string(notice_) + " to " +
           std::to_string(clients_.size()) + " client(s)");
}

void SleepCycle::Turn(SimulatedMac& mac, double real_now) {
  double elapsed = std::max(real_now - last_real_, 0.0);
  last_real_ = real_now;
  if (!notified_at_) notified_at_ = real_now;
  if (phase_ == Phase::kAsleep) {
    SleepOn(mac, elapsed);
    return;
  }
  if (phase_ != Phase::kNotifying) return;
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
  FallAsleep(mac);
}

void SleepCycle::FallAsleep(SimulatedMac& mac) {
  phase_ = Phase::kAsleep;
  std::optional<double> wake = WakeBeforeEnd();
  asleep_until_ = wake.value_or(sleep_ends_);
  mac.Note("asleep until " + ClockText(asleep_until_) +
           (wake ? " (booked wake)" : ""));
}

void SleepCycle::SleepOn(SimulatedMac& mac, double real_seconds) {
  std::optional<double> wake = WakeBeforeEnd();
  double until = wake.value_or(sleep_ends_);
  double step = real_seconds * speed_;
  if (mac.now() + step < until) {
    mac.Advance(step);
    return;
  }
  mac.Advance(until - mac.now());
  Wake(mac, wake.has_value());
}

void SleepCycle::Wake(SimulatedMac& mac, bool booked) {
  Send(kHasWoken, notice_);
  if (!booked) {
    phase_ = Phase::kAwake;
    ++completed_;
    mac.Note("awake");
    return;
  }
  ++wakes_served_;
  ++wakes_this_sleep_;
  for (auto& [number, client] : clients_) {
    // Machine time adds up in steps: allow for their rounding.
    if (client.wake_at && *client.wake_at <= mac.now() + 1e-6) {
      client.wake_at.reset();
    }
  }
  mac.Note("booked wake " + std::to_string(wakes_this_sleep_));
  Notify(mac);
}

std::optional<double> SleepCycle::WakeBeforeEnd() const {
  std::optional<double> earliest;
  for (const auto& [number, client] : clients_) {
    if (client.wake_at && (!earliest || *client.wake_at < *earliest)) {
      earliest = client.wake_at;
    }
  }
  if (!earliest || *earliest >= sleep_ends_ ||
      wakes_this_sleep_ >= kMaxWakesPerSleep) {
    return std::nullopt;
  }
  return earliest;
}

std::string SleepCycle::Summary() const {
  std::string phase = phase_ == Phase::kAwake ? "awake"
                      : phase_ == Phase::kAsleep
                          ? "asleep until " + ClockText(asleep_until_)
                          : "going to sleep";
  return phase + "; " + std::to_string(clients_.size()) + " client(s), " +
         std::to_string(wakes_served_) + " booked wake(s) served, " +
         std::to_string(late_answers_) + " late answer(s)";
}

nlohmann::json SleepCycle::StateJson() const {
  nlohmann::json booked = nlohmann::json::array();
  for (const auto& [number, client] : clients_) {
    if (client.wake_at) booked.push_back(*client.wake_at);
  }
  return {{"asleep", asleep()},
          {"goingToSleep", phase_ == Phase::kNotifying},
          {"registered", clients_.size()},
          {"bookedWakes", booked},
          {"scheduledWakesServed", wakes_served_},
          {"lateAnswers", late_answers_},
          {"longestAnswerSeconds", longest_answer_}};
}

}  // namespace ampervale::sim
