#include "tools/ampctl/install.h"

#include <fcntl.h>
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

// launchd starts the job as root, so nobody else may be able to put another
// program in its place: not in the installed file, nor in the one file its
// symbolic link leads to, nor in a folder above either. Sticky folders are
// refused too: the file launchd starts at every boot may be gone by then.
void CheckBackendIsOnlyRoots(const fs::path& installed) {
  const WalkRule rule{.refusal = kReplaceableBackend,
                      .sticky = Sticky::kUnsafe};
  fs::path file = installed;
  for (bool followed = false;; followed = true) {
    // The target is walked as written, so that a ".." after a link is
    // never checked one way and resolved another.
    const CheckedParent folder = WalkToParent(file, rule);
    const fs::path walked = folder.path / file.filename();
    struct stat status {};
    if (fstatat(folder.descriptor.get(), file.filename().c_str(), &status,
                AT_SYMLINK_NOFOLLOW) != 0) {
      throw FileSystemError(errno, "Cannot inspect", walked);
    }
    if (followed || !S_ISLNK(status.st_mode)) {
      CheckEntry(status, walked, EntryKind::kFile, kReplaceableBackend);
      return;
    }
    file = file.parent_path() / LinkTargetAt(folder.descriptor.get(), file);
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
  // launchd loads every job in its folder, so a sticky one will not do.
  const CheckedParent folder = WalkToParent(
      job_path, {.refusal = kUnsafeJobFolder, .sticky = Sticky::kUnsafe});
  ReplaceRecordFile(
      folder.descriptor.get(),
      RecordPaths(job_path.parent_path(), job_path.filename().string()), xml,
      Durability::kFlushed, SystemFileSystem(), kJobMode);
  out << "Native charging daemon configured at the existing backend path\n";
}

}  // namespace NativeBackendTool
}  // namespace ampervale
