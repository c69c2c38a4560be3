// Books a wake an hour ahead through the platform layer, says so, waits for
// a line on standard input (meanwhile the caller looks at `pmset -g sched`),
// then cancels it. Prints "booked CODE" or "refused CODE", then
// "cancelled CODE"; writes no files.

#include <cstdio>
#include <iostream>
#include <string>

#include "platform/power_notices.h"

int main() {
  using ampervale::platform::RegisterForPowerNotices;
  ampervale::platform::PowerRegistration registration =
      RegisterForPowerNotices();
  if (!registration.notices) {
    std::printf("unregistered %s\n", registration.failure.c_str());
    return 1;
  }
  int32_t code = registration.notices->BookWake(3600);
  std::printf("%s 0x%08x\n", code == 0 ? "booked" : "refused",
              static_cast<unsigned>(code));
  std::fflush(stdout);
  if (code != 0) return 0;
  std::string line;
  std::getline(std::cin, line);
  code = registration.notices->CancelWake();
  std::printf("cancelled 0x%08x\n", static_cast<unsigned>(code));
  return code == 0 ? 0 : 1;
}
