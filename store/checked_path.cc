#include "store/checked_path.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/native_control_error.h"
#include "store/access_list.h"
#include "store/file_system_error.h"
#include "store/trusted_group.h"

namespace ampervale {

namespace {

namespace fs = std::filesystem;

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kCreatedMode = 0700;

// Says what refused entry `name` is, when it exists; otherwise throws the
// failure of opening it.
[[noreturn]] void RefuseUnopenable(int parent, const char* name,
                                   const fs::path& path,
                                   const std::string& refusal) {
  const int error = errno;
  struct stat status {};
  if ((error == ENOTDIR || error == ELOOP) &&
      fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    CheckEntry(status, path, EntryKind::kDirectory, refusal);
  }
  throw FileSystemError(error, "Cannot open", path);
}

}  // namespace

int OpenDirectoryAt(int parent, const char* name, Missing missing) {
  const int descriptor = openat(parent, name, kDirectoryFlags);
  if (descriptor >= 0 || errno != ENOENT || missing == Missing::kFail) {
    return descriptor;
  }
  if (mkdirat(parent, name, kCreatedMode) != 0 && errno != EEXIST) return -1;
  return openat(parent, name, kDirectoryFlags);
}

std::string UnsafeReason(const struct stat& status, const fs::path& path,
                         EntryKind kind) {
  if (S_ISLNK(status.st_mode)) return "is a symbolic link";
  if (kind == EntryKind::kDirectory && !S_ISDIR(status.st_mode)) {
    return "is not a directory";
  }
  if (status.st_uid != 0 && status.st_uid != geteuid()) {
    return "is owned by user " + std::to_string(status.st_uid);
  }
  const bool sticky = S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX);
  if (!sticky && (status.st_mode & S_IWOTH) != 0) {
    return "is writable by other users";
  }
  if (!sticky && (status.st_mode & S_IWGRP) != 0 &&
      !IsTrustedGroup(status.st_gid)) {
    return "is writable by group " + std::to_string(status.st_gid);
  }
  // A list may grant what the mode does not show (on Linux the group bits
  // show only its mask; on macOS nothing of it).
  std::string writer = AccessListWriter(path);
  if (writer.empty()) return writer;
  return "is open to " + writer + " through its access-control list";
}

void CheckEntry(const struct stat& status, const fs::path& path, EntryKind kind,
                const std::string& refusal) {
  const std::string reason = UnsafeReason(status, path, kind);
  if (!reason.empty()) {
    throw NativeControlError(refusal + path.native() + " " + reason);
  }
}

FileDescriptor OpenCheckedParent(const fs::path& path,
                                 const std::string& refusal, Missing missing,
                                 std::vector<fs::path>* reached) {
  FileDescriptor current(open("/", kDirectoryFlags));
  if (!current.valid()) throw FileSystemError(errno, "Cannot open", "/");
  fs::path walked = "/";
  for (const fs::path& name : path.parent_path().relative_path()) {
    walked /= name;
    const int next = OpenDirectoryAt(current.get(), name.c_str(), missing);
    if (next < 0)
      RefuseUnopenable(current.get(), name.c_str(), walked, refusal);
    current.reset(next);
    struct stat status {};
    if (fstat(current.get(), &status) != 0) {
      throw FileSystemError(errno, "Cannot inspect", walked);
    }
    CheckEntry(status, walked, EntryKind::kDirectory, refusal);
    if (reached != nullptr) reached->push_back(walked);
  }
  return current;
}

}  // namespace ampervale
