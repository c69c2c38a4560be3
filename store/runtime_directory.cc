#include "store/runtime_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/native_control_error.h"
#include "store/file_system_error.h"
#include "store/trusted_group.h"

namespace ampervale {

namespace {

namespace fs = std::filesystem;

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kDirectoryMode = 0700;
constexpr const char* kUnexpectedDirectory =
    "Backend runtime directory has unexpected ownership or type";

[[noreturn]] void RefuseParent(const fs::path& parent,
                               const std::string& reason) {
  throw NativeControlError("Backend runtime directory has an unsafe parent: " +
                           parent.native() + " " + reason);
}

// Anyone who may rename entries of a parent could put their own directory
// in place of the one below it.
void CheckParent(const struct stat& status, const fs::path& parent) {
  if (S_ISLNK(status.st_mode)) RefuseParent(parent, "is a symbolic link");
  if (!S_ISDIR(status.st_mode)) RefuseParent(parent, "is not a directory");
  if (status.st_uid != 0 && status.st_uid != geteuid()) {
    RefuseParent(parent, "is owned by user " + std::to_string(status.st_uid));
  }
  if ((status.st_mode & S_ISVTX) != 0) return;
  if ((status.st_mode & S_IWOTH) != 0) {
    RefuseParent(parent, "is writable by other users");
  }
  if ((status.st_mode & S_IWGRP) != 0 && !IsTrustedGroup(status.st_gid)) {
    RefuseParent(parent,
                 "is writable by group " + std::to_string(status.st_gid));
  }
}

// Opens `name` in `parent` as a directory, made with kDirectoryMode when
// missing. A symbolic link or another kind of file fails.
int OpenOrMakeDirectory(int parent, const char* name) {
  const int descriptor = openat(parent, name, kDirectoryFlags);
  if (descriptor >= 0 || errno != ENOENT) return descriptor;
  if (mkdirat(parent, name, kDirectoryMode) != 0 && errno != EEXIST) return -1;
  return openat(parent, name, kDirectoryFlags);
}

// Says what refused entry `name` is, when it exists; otherwise throws the
// failure of opening it.
void RefuseUnopenableParent(int parent, const char* name,
                            const fs::path& path) {
  const int error = errno;
  struct stat status {};
  if ((error == ENOTDIR || error == ELOOP) &&
      fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    CheckParent(status, path);
  }
  throw FileSystemError(error, "Cannot open", path);
}

// The parent directory of `path`, reached from "/" through checked
// parents, each of which is added to `parents`.
int OpenParent(const fs::path& path, std::vector<fs::path>& parents) {
  FileDescriptor current(open("/", kDirectoryFlags));
  if (!current.valid()) throw FileSystemError(errno, "Cannot open", "/");
  fs::path reached = "/";
  for (const fs::path& name : path.parent_path().relative_path()) {
    reached /= name;
    const int next = OpenOrMakeDirectory(current.get(), name.c_str());
    if (next < 0) RefuseUnopenableParent(current.get(), name.c_str(), reached);
    current.reset(next);
    struct stat status {};
    if (fstat(current.get(), &status) != 0) {
      throw FileSystemError(errno, "Cannot inspect", reached);
    }
    CheckParent(status, reached);
    parents.push_back(reached);
  }
  const int parent = current.get();
  current.release();
  return parent;
}

fs::path Normalized(const fs::path& path) {
  fs::path normal = fs::absolute(path).lexically_normal();
  if (!normal.has_filename()) normal = normal.parent_path();
  return normal;
}

}  // namespace

RuntimeDirectory::RuntimeDirectory(const fs::path& path)
    : path_(Normalized(path)) {
  const FileDescriptor parent(OpenParent(path_, parents_));
  descriptor_.reset(
      OpenOrMakeDirectory(parent.get(), path_.filename().c_str()));
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
    if (lstat(parent.c_str(), &status) == 0) CheckParent(status, parent);
  }
  if (lstat(path_.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
      status.st_dev != device_ || status.st_ino != inode_) {
    throw NativeControlError(
        "Backend runtime directory was moved or replaced: " + path_.native());
  }
}

}  // namespace ampervale
