#include "store/runtime_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/native_control_error.h"
#include "store/checked_path.h"
#include "store/file_system_error.h"

namespace ampervale {

namespace {

namespace fs = std::filesystem;

constexpr mode_t kDirectoryMode = 0700;
constexpr const char* kUnexpectedDirectory =
    "Backend runtime directory has unexpected ownership or type";
constexpr const char* kUnsafeParent =
    "Backend runtime directory has an unsafe parent: ";

fs::path Normalized(const fs::path& path) {
  fs::path normal = fs::absolute(path).lexically_normal();
  if (!normal.has_filename()) normal = normal.parent_path();
  return normal;
}

}  // namespace

RuntimeDirectory::RuntimeDirectory(const fs::path& path)
    : path_(Normalized(path)) {
  // Anyone who may rename entries of a parent could put their own directory
  // in place of the one below it.
  const FileDescriptor parent(
      OpenCheckedParent(path_, kUnsafeParent, Missing::kCreate, &parents_));
  descriptor_.reset(OpenDirectoryAt(parent.get(), path_.filename().c_str(),
                                    Missing::kCreate));
  if (!descriptor_.valid() && (errno == ENOTDIR || errno == ELOOP)) {
    throw NativeControlError(kUnexpectedDirectory);
  }
  struct stat status {};
  if (!descriptor_.valid() || fstat(descriptor_.get(), &status) != 0) {
    throw FileSystemError(errno, "Cannot open", path_);
  }
  if (!S_ISDIR(status.st_mode) || status.st_uid != geteuid()) {
    throw NativeControlError(kUnexpectedDirectory);
  }
  if (fchmod(descriptor_.get(), kDirectoryMode) != 0) {
    throw FileSystemError(errno, "Cannot change the mode of", path_);
  }
  device_ = status.st_dev;
  inode_ = status.st_ino;
}

void RuntimeDirectory::recheck() const {
  struct stat status {};
  for (const fs::path& parent : parents_) {
    if (lstat(parent.c_str(), &status) == 0) {
      CheckEntry(status, parent, EntryKind::kDirectory, kUnsafeParent);
    }
  }
  if (lstat(path_.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
      status.st_dev != device_ || status.st_ino != inode_) {
    throw NativeControlError(
        "Backend runtime directory was moved or replaced: " + path_.native());
  }
}

}  // namespace ampervale
