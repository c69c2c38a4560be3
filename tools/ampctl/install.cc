#include "tools/ampctl/install.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>
#include <system_error>

#include "common/native_control_error.h"
#include "platform/property_list.h"
#include "store/checked_path.h"
#include "store/file_system_error.h"
#include "store/record_file.h"

namespace ampervale {

namespace {

namespace fs = std::filesystem;

constexpr const char* kReplaceableBackend =
    "Refusing to register a backend that another user can replace: ";
constexpr const char* kUnsafeJobFolder =
    "Cannot write the launchd job through an unsafe folder: ";
constexpr mode_t kJobMode = 0644;

// Where the symbolic link `link`, an entry of the directory open as
// `folder`, leads, as an absolute and normal path.
fs::path LinkTarget(int folder, const fs::path& link) {
  char target[PATH_MAX];
  const ssize_t size =
      readlinkat(folder, link.filename().c_str(), target, sizeof target);
  if (size < 0 || static_cast<size_t>(size) == sizeof target) {
    throw FileSystemError(size < 0 ? errno : ENAMETOOLONG, "Cannot read", link);
  }
  return (link.parent_path() / std::string(target, static_cast<size_t>(size)))
      .lexically_normal();
}

// launchd starts the job as root, so nobody else may be able to put another
// program in its place: not in the installed file, nor in the one file its
// symbolic link leads to, nor in a folder above either.
void CheckBackendIsOnlyRoots(const fs::path& installed) {
  fs::path file = installed;
  for (bool followed = false;; followed = true) {
    const FileDescriptor folder =
        OpenCheckedParent(file, kReplaceableBackend, Missing::kFail);
    struct stat status {};
    if (fstatat(folder.get(), file.filename().c_str(), &status,
                AT_SYMLINK_NOFOLLOW) != 0) {
      throw FileSystemError(errno, "Cannot inspect", file);
    }
    if (followed || !S_ISLNK(status.st_mode)) {
      CheckEntry(status, file, EntryKind::kFile, kReplaceableBackend);
      return;
    }
    file = LinkTarget(folder.get(), file);
  }
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
  CheckBackendIsOnlyRoots(kInstalledBackendPath);
  std::string xml = JobDescriptionXML();
  // launchd reads the job at boot: it must be whole and on disk. Written
  // through the checked folder's descriptor, its mode set on the new file's.
  const FileDescriptor folder =
      OpenCheckedParent(job_path, kUnsafeJobFolder, Missing::kFail);
  ReplaceRecordFile(
      folder.get(),
      RecordPaths(job_path.parent_path(), job_path.filename().string()), xml,
      Durability::kFlushed, SystemFileSystem(), kJobMode);
  out << "Native charging daemon configured at the existing backend path\n";
}

}  // namespace NativeBackendTool
}  // namespace ampervale
