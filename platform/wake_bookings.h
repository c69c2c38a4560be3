#ifndef AMPERVALE_PLATFORM_WAKE_BOOKINGS_H_
#define AMPERVALE_PLATFORM_WAKE_BOOKINGS_H_

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The decisions of the Mac's power seam about booked wakes, apart from the
// IOKit calls so that they build and are tested on any platform.
namespace ampervale::platform {

// The system rounds a booked date down to a multiple of this many seconds
// before it keeps it, lists it and wakes at it.
inline constexpr double kBookingRounding = 5;

// What a full wake says about the wake this registration booked.
struct WakeJudgement {
  // The booked time has come: the system no longer holds the booking.
  bool bookingPassed = false;
  // The wake is the booked one: the measured seconds since the booking.
  std::optional<double> ownWakeAfter;
};

// Judges a full wake `elapsed` seconds after a wake was booked `booked`
// seconds ahead, both on a clock that counts the time asleep.
WakeJudgement JudgeWake(double booked, double elapsed);

// One entry of the system's list of scheduled power events, as listed.
struct ScheduledEvent {
  double date = 0;  // seconds since 2001-01-01 UTC, the system's date scale
  std::string owner;
  std::string type;
};

// The indices of `events` that are wakes ("wake") booked under `owner` and
// not the booking this registration holds, booked for `kept` (absent when
// it holds none). The system lists a booking at its date rounded down.
std::vector<size_t> LeftoverWakes(std::span<const ScheduledEvent> events,
                                  std::string_view owner,
                                  std::optional<double> kept);

}  // namespace ampervale::platform

#endif  // AMPERVALE_PLATFORM_WAKE_BOOKINGS_H_
