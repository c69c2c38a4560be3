#include "platform/wake_bookings.h"

#include <gtest/gtest.h>

namespace ampervale::platform {
namespace {

// A full wake up to 6 s early (the system's 5-s rounding) or 60 s late is
// the booked one; earlier leaves the booking standing, later is another's.
TEST(WakeBookingsTest, JudgesAFullWakeAgainstTheBooking) {
  static const struct {
    double booked, elapsed;
    bool passed, own;
  } cases[] = {
      {600, 600, true, true},     {600, 594, true, true},
      {600, 593.9, false, false}, {600, 30, false, false},
      {600, 660, true, true},     {600, 660.1, true, false},
      {120, 7200, true, false},
  };
  for (const auto& row : cases) {
    WakeJudgement judgement = JudgeWake(row.booked, row.elapsed);
    EXPECT_EQ(row.passed, judgement.bookingPassed) << row.elapsed;
    EXPECT_EQ(row.own ? std::optional(row.elapsed) : std::nullopt,
              judgement.ownWakeAfter)
        << row.elapsed;
  }
}

// Only wakes under the owner's exact name are left over, never another
// type, and never the booking held (listed less than 5 s before its date).
TEST(WakeBookingsTest, LeftoverWakesAreTheOwnersOthers) {
  const ScheduledEvent events[] = {
      {1000, "chargelimitd", "wake"}, {1995, "chargelimitd", "wake"},
      {1000, "chargelimit", "wake"},  {1000, "chargelimitd", "poweron"},
      {1994, "chargelimitd", "wake"}, {3000, "chargelimitd", "wake"},
  };
  static const struct {
    std::optional<double> kept;
    std::vector<size_t> cancelled;
  } cases[] = {{std::nullopt, {0, 1, 4, 5}}, {1999, {0, 4, 5}}, {1995, {0, 5}}};
  for (const auto& row : cases) {
    EXPECT_EQ(row.cancelled, LeftoverWakes(events, "chargelimitd", row.kept))
        << row.kept.value_or(-1);
  }
}

}  // namespace
}  // namespace ampervale::platform
