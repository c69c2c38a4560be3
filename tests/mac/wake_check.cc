// Books a wake an hour ahead through the platform layer and prints "booked
// CODE" or "refused CODE"; after a line on standard input (meanwhile the
// caller reads `pmset -g sched`) cancels it and prints "cancelled CODE".
// Writes no files.

#include <cstdio>
#include <iostream>
#include <string>

#include "platform/power_notices.h"

int main() {
  auto registration = ampervale::platform::RegisterForPowerNotices();
  if (!registration.notices) return std::puts(registration.failure.c_str()), 1;
  auto code = static_cast<unsigned>(registration.notices->BookWake(3600));
  std::printf("%s 0x%08x\n", code == 0 ? "booked" : "refused", code);
  std::fflush(stdout);
  std::string line;
  if (code != 0 || !std::getline(std::cin, line)) return 0;
  code = static_cast<unsigned>(registration.notices->CancelWake());
  std::printf("cancelled 0x%08x\n", code);
  return 0;
}
