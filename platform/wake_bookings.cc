#include "platform/wake_bookings.h"

#include <cmath>

namespace ampervale::platform {

namespace {

// How far from the booked seconds a full wake may come and still be the
// booked one.
//
// Early: the system wakes at the booked date rounded down to a multiple of
// kBookingRounding, so its own wake may come that much before the booked
// seconds; one second more covers the two scales (the booking is a date on
// the wall clock, the measure a monotonic clock, and the wall clock may be
// slewed meanwhile). A wake earlier than that is the user's, the adapter's or
// another program's, and the booking still stands.
//
// Late: "has powered on" follows the alarm once the machine is back in full
// wake: about a second on Apple silicon, tens of seconds on an Intel Mac
// that restores its memory from disk (standby, hibernation). A minute
// covers that. A first full wake later than a minute after the booked time
// means the booked one was not served as a full wake (the machine was off,
// or lost the alarm), and the wake that came is someone else's.
constexpr double kEarlyAllowance = kBookingRounding + 1;
constexpr double kLateAllowance = 60;

}  // namespace

WakeJudgement JudgeWake(double booked, double elapsed) {
  WakeJudgement judgement;
  judgement.bookingPassed = elapsed >= booked - kEarlyAllowance;
  if (judgement.bookingPassed && elapsed <= booked + kLateAllowance) {
    judgement.ownWakeAfter = elapsed;
  }
  return judgement;
}

std::vector<size_t> LeftoverWakes(std::span<const ScheduledEvent> events,
                                  std::string_view owner,
                                  std::optional<double> kept) {
  std::vector<size_t> leftovers;
  for (size_t i = 0; i < events.size(); ++i) {
    const ScheduledEvent& event = events[i];
    if (event.owner != owner || event.type != "wake") continue;
    // Within the rounding of the kept date it is the booking held: a
    // leftover at that date would be the same entry to the system anyway.
    if (kept && std::fabs(event.date - *kept) < kBookingRounding) continue;
    leftovers.push_back(i);
  }
  return leftovers;
}

}  // namespace ampervale::platform
