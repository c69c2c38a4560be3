#include "tools/ampctl/install.h"

#include <plist/plist.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <system_error>

#include "common/native_control_error.h"
#include "store/file_system_error.h"
#include "store/record_file.h"

namespace ampervale {

namespace {

struct PlistDeleter {
  void operator()(void* node) const { plist_free(node); }
};
using Plist = std::unique_ptr<void, PlistDeleter>;

Plist BuildJobDescription() {
  Plist job(plist_new_dict());
  plist_t arguments = plist_new_array();
  plist_array_append_item(arguments, plist_new_string(kInstalledBackendPath));
  plist_array_append_item(arguments, plist_new_string("daemon"));
  plist_dict_set_item(job.get(), "Label", plist_new_string("chargelimitd"));
  plist_dict_set_item(job.get(), "ProgramArguments", arguments);
  plist_dict_set_item(job.get(), "RunAtLoad", plist_new_bool(1));
  plist_dict_set_item(job.get(), "KeepAlive", plist_new_bool(1));
  plist_dict_set_item(job.get(), "ThrottleInterval", plist_new_uint(5));
  return job;
}

}  // namespace

std::string StandardizedPath(const std::string& path,
                             const std::filesystem::path& current_directory) {
  std::filesystem::path absolute = current_directory / path;
  std::string normal = absolute.lexically_normal().string();
  // A trailing separator names the same file.
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return normal;
}

std::string JobDescriptionXML() {
  Plist job = BuildJobDescription();
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(job.get(), &xml, &length);
  if (xml == nullptr) {
    throw std::runtime_error("Cannot serialize the launchd job description");
  }
  std::string text(xml, length);
  plist_to_xml_free(xml);
  return text;
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
