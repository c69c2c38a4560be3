#ifndef AMPERVALE_PLATFORM_PROPERTY_LIST_H_
#define AMPERVALE_PLATFORM_PROPERTY_LIST_H_

#include <cstdint>
#include <string>
#include <vector>

// The OS seam for the property-list writer: the platform's own on a Mac, a
// library elsewhere. Both write the same dictionary.
namespace ampervale::platform {

// A launchd job description.
struct LaunchJob {
  std::string label;
  std::vector<std::string> program_arguments;
  bool run_at_load = false;
  bool keep_alive = false;
  int64_t throttle_interval = 0;
};

inline constexpr const char kLabelKey[] = "Label";
inline constexpr const char kProgramArgumentsKey[] = "ProgramArguments";
inline constexpr const char kRunAtLoadKey[] = "RunAtLoad";
inline constexpr const char kKeepAliveKey[] = "KeepAlive";
inline constexpr const char kThrottleIntervalKey[] = "ThrottleInterval";

// `job` as an XML property list, format 1.0: a dictionary of the five keys
// above. Throws std::runtime_error carrying the writer's own description
// when it cannot serialize.
std::string LaunchJobXML(const LaunchJob& job);

}  // namespace ampervale::platform

#endif  // AMPERVALE_PLATFORM_PROPERTY_LIST_H_
