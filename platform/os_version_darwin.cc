#include <sys/sysctl.h>

#include <string>

#include "platform/os_version.h"

namespace ampervale::platform {

namespace {

std::string SystemValue(const char* name) {
  char value[256] = {};
  size_t length = sizeof value - 1;
  if (sysctlbyname(name, value, &length, nullptr, 0) != 0) return "unknown";
  return value;
}

}  // namespace

// The platform's own form, e.g. "Version 14.4.1 (Build 23E224)".
std::string OperatingSystemVersionString() {
  return "Version " + SystemValue("kern.osproductversion") + " (Build " +
         SystemValue("kern.osversion") + ")";
}

}  // namespace ampervale::platform
