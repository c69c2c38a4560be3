#include "tools/ampctl/install.h"

#include <sys/stat.h>

#include <cerrno>
#include <ostream>
#include <system_error>

#include "common/native_control_error.h"
#include "platform/property_list.h"
#include "store/file_system_error.h"
#include "store/record_file.h"

namespace ampervale {

std::string StandardizedPath(const std::string& path,
                             const std::filesystem::path& current_directory) {
  std::filesystem::path absolute = current_directory / path;
  std::string normal = absolute.lexically_normal().string();
  // A trailing separator names the same file.
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return normal;
}

std::string JobDescriptionXML() {
  return platform::LaunchJobXML(
      {.label = "chargelimitd",
       .program_arguments = {kInstalledBackendPath, "daemon"},
       .run_at_load = true,
       .keep_alive = true,
       .throttle_interval = 5});
}

namespace NativeBackendTool {

void installDaemon(const std::string& executable_path, std::ostream& out,
                   const std::filesystem::path& job_path) {
  std::error_code ignored;
  std::filesystem::path current = std::filesystem::current_path(ignored);
  if (StandardizedPath(executable_path, current) != kInstalledBackendPath) {
    throw NativeControlError(
        "Install the bundled backend through Ampervale's helper first");
  }
  std::string xml = JobDescriptionXML();
  // launchd reads the job at boot: it must be whole and on disk.
  ReplaceRecordFile(
      RecordPaths(job_path.parent_path(), job_path.filename().string()), xml,
      Durability::kFlushed);
  if (chmod(job_path.c_str(), 0644) != 0) {
    throw FileSystemError(errno, "Cannot set permissions of", job_path);
  }
  out << "Native charging daemon configured at the existing backend path\n";
}

}  // namespace NativeBackendTool
}  // namespace ampervale
