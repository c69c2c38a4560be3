// The clients of the power channel: registrations, answers, bookings and
// the notices they are owed.

#include <algorithm>
#include <cmath>
#include <utility>

#include "sim/sleep_cycle.h"

namespace ampervale::sim {

namespace {

constexpr uint32_t kWillSleep = 1;
constexpr uint32_t kHasWoken = 2;

void Put(std::vector<uint8_t>& out, uint32_t type, uint32_t word) {
  for (uint32_t value : {type, word}) {
    for (int i = 0; i < 4; ++i) {
      out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
  }
}

}  // namespace

std::optional<uint32_t> SleepCycle::Register(uint32_t uid) {
  auto held =
      std::count_if(clients_.begin(), clients_.end(),
                    [&](const auto& each) { return each.second.uid == uid; });
  if (held >= kMaxRegistrationsPerUser) return std::nullopt;
  do {
    ++last_client_;
  } while (last_client_ == 0 || clients_.contains(last_client_));
  clients_[last_client_].uid = uid;
  return last_client_;
}

void SleepCycle::Deregister(uint32_t client) { clients_.erase(client); }

void SleepCycle::Allow(uint32_t client, uint32_t notice) {
  auto found = clients_.find(client);
  if (found != clients_.end() && notice == notice_) {
    found->second.owes_answer = false;
  }
}

int32_t SleepCycle::BookWake(uint32_t client, double seconds, double now) {
  auto found = clients_.find(client);
  if (found == clients_.end() || !std::isfinite(seconds) || seconds < 0) {
    return kIOCodeBadArgument;
  }
  if (phase_ != Phase::kAwake &&
      (options_.refuse_bookings || SpentWakes(found->second.uid))) {
    return kIOCodeNoResources;
  }
  found->second.wake_at = now + seconds;
  return 0;
}

int32_t SleepCycle::CancelWake(uint32_t client) {
  auto found = clients_.find(client);
  if (found != clients_.end()) found->second.wake_at.reset();
  return 0;
}

std::vector<uint8_t> SleepCycle::TakeNotices(uint32_t client) {
  auto found = clients_.find(client);
  if (found == clients_.end()) return {};
  return std::exchange(found->second.notices, {});
}

void SleepCycle::SendWillSleep() {
  ++notice_;
  for (auto& [number, client] : clients_) {
    Put(client.notices, kWillSleep, notice_);
    client.owes_answer = true;
  }
}

void SleepCycle::SendHasWoken(double now, bool booked) {
  for (auto& [number, client] : clients_) {
    bool own = booked && client.wake_at && Due(*client.wake_at, now) &&
               !SpentWakes(client.uid);
    Put(client.notices, kHasWoken, own ? 1 : 0);
    if (own) {
      client.wake_at.reset();
      ++user_wakes_this_sleep_[client.uid];
    }
  }
}

bool SleepCycle::SpentWakes(uint32_t uid) const {
  auto found = user_wakes_this_sleep_.find(uid);
  return found != user_wakes_this_sleep_.end() &&
         found->second >= kMaxWakesPerUserPerSleep;
}

std::optional<double> SleepCycle::WakeBeforeEnd() const {
  std::optional<double> earliest;
  for (const auto& [number, client] : clients_) {
    if (client.wake_at && !SpentWakes(client.uid) &&
        (!earliest || *client.wake_at < *earliest)) {
      earliest = client.wake_at;
    }
  }
  if (!earliest || *earliest >= sleep_ends_) return std::nullopt;
  return earliest;
}

}  // namespace ampervale::sim
