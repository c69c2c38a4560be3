#ifndef AMPERVALE_PLATFORM_OS_VERSION_H_
#define AMPERVALE_PLATFORM_OS_VERSION_H_

#include <string>

namespace ampervale::platform {

// The operating system's human-readable version string.
std::string OperatingSystemVersionString();

}  // namespace ampervale::platform

#endif  // AMPERVALE_PLATFORM_OS_VERSION_H_
