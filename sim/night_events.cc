#include "sim/night_events.h"

#include <algorithm>

#include "sim/simulated_mac.h"

namespace ampervale::sim {

namespace {

// Machine time adds up in steps: allow for their rounding.
constexpr double kSlack = 1e-6;

}  // namespace

NightEvents::NightEvents(const SleepOptions& options, double start,
                         double end) {
  auto add = [&](std::optional<double> at, double unit, Kind kind) {
    if (at && start + *at * unit < end) {
      events_.push_back(
          {start + *at * unit, kind, options.rate_after.value_or(0)});
    }
  };
  add(options.plug_in_at, 60, Kind::kPlugIn);
  add(options.pull_out_at, 60, Kind::kPullOut);
  add(options.keys_reset_at, 60, Kind::kKeysReset);
  add(options.rate_change_at, 60, Kind::kRateChange);
  add(options.hold_80_hours, 3600, Kind::kHoldEnds);
  // Events of the same time keep the order above.
  std::stable_sort(events_.begin(), events_.end(),
                   [](const Event& a, const Event& b) { return a.at < b.at; });
}

std::optional<double> NightEvents::Next() const {
  if (next_ == events_.size()) return std::nullopt;
  return events_[next_].at;
}

bool NightEvents::ApplyDue(SimulatedMac& mac) {
  bool plugged = false;
  for (; next_ < events_.size() && events_[next_].at <= mac.now() + kSlack;
       ++next_) {
    plugged = Apply(events_[next_], mac) || plugged;
  }
  return plugged;
}

bool NightEvents::Apply(const Event& event, SimulatedMac& mac) {
  switch (event.kind) {
    case Kind::kPlugIn:
    case Kind::kPullOut:
      return mac.PlugAdapter(event.kind == Kind::kPlugIn);
    case Kind::kKeysReset:
      mac.ResetChargeKeys();
      return false;
    case Kind::kRateChange:
      mac.SetChargeRate(event.rate);
      return false;
    case Kind::kHoldEnds:
      mac.HoldAt80(false);
      return false;
  }
  return false;
}

}  // namespace ampervale::sim
