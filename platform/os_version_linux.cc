#include <sys/utsname.h>

#include <fstream>
#include <string>

#include "platform/os_version.h"

namespace ampervale::platform {

namespace {

// The distribution's own name, e.g. "Debian GNU/Linux 12 (bookworm)".
std::string PrettyName() {
  std::ifstream release("/etc/os-release");
  std::string line;
  const std::string key = "PRETTY_NAME=";
  while (std::getline(release, line)) {
    if (line.rfind(key, 0) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return "";
}

}  // namespace

std::string OperatingSystemVersionString() {
  utsname name{};
  std::string kernel = uname(&name) == 0
                           ? std::string(name.sysname) + " " + name.release
                           : "unknown kernel";
  std::string pretty = PrettyName();
  return pretty.empty() ? kernel : pretty + " (" + kernel + ")";
}

}  // namespace ampervale::platform
