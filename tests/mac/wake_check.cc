// Checks on a Mac, as root, the IOKit side's booked wakes; the caller reads
// `pmset -g sched` between the steps. Prints one line per step, "OUTCOME
// CODE", and takes the next step after each line on standard input:
//   1. books a wake an hour ahead: "booked CODE", or "refused CODE" and
//      exits 1;
//   2. cancels it: "cancelled CODE";
//   3. books it again, then a second registration books one two hours ahead
//      and cancels the leftover wakes, which must take the first's (it
//      cannot tell a live registration's from a dead one's) and keep its
//      own: "swept CODE", or "refused CODE" (either booking's) and
//      exits 1;
//   4. exits, the second registration cancelling its own wake.
// Writes no files.

#include <cstdio>
#include <iostream>
#include <string>

#include "platform/power_notices.h"

namespace {

bool Report(int32_t code, const char* success) {
  std::printf("%s 0x%08x\n", code == 0 ? success : "refused",
              static_cast<unsigned>(code));
  std::fflush(stdout);
  return code == 0;
}

bool NextStep() {
  std::string line;
  return static_cast<bool>(std::getline(std::cin, line));
}

}  // namespace

int main() {
  auto first = ampervale::platform::RegisterForPowerNotices();
  auto second = ampervale::platform::RegisterForPowerNotices();
  for (const auto* registration : {&first, &second}) {
    if (!registration->notices) {
      return std::puts(registration->failure.c_str()), 1;
    }
  }
  if (!Report(first.notices->BookWake(3600), "booked")) return 1;
  if (!NextStep()) return 0;
  Report(first.notices->CancelWake(), "cancelled");
  if (!NextStep()) return 0;
  int32_t code = first.notices->BookWake(3600);
  if (code == 0) {
    code = second.notices->BookWake(7200);
    second.notices->CancelLeftoverWakes();
  }
  if (!Report(code, "swept")) return 1;
  NextStep();
  return 0;
}
