#include "store/checked_path.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <deque>

#include "common/native_control_error.h"
#include "store/access_list.h"
#include "store/file_system_error.h"
#include "store/trusted_group.h"

namespace ampervale {

namespace {

namespace fs = std::filesystem;

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kCreatedMode = 0700;
constexpr int kMostLinks = 40;  // as the kernel's own bound

bool IsRootsOrOwn(uid_t owner) { return owner == 0 || owner == geteuid(); }

// UnsafeReason but for the access-control list.
std::string ModeReason(const struct stat& status, EntryKind kind,
                       Sticky sticky) {
  if (S_ISLNK(status.st_mode)) return "is a symbolic link";
  if (kind == EntryKind::kDirectory && !S_ISDIR(status.st_mode)) {
    return "is not a directory";
  }
  if (!IsRootsOrOwn(status.st_uid)) {
    return "is owned by user " + std::to_string(status.st_uid);
  }
  const bool exempt = sticky == Sticky::kSafe && S_ISDIR(status.st_mode) &&
                      (status.st_mode & S_ISVTX) != 0;
  if (!exempt && (status.st_mode & S_IWOTH) != 0) {
    return "is writable by other users";
  }
  if (!exempt && (status.st_mode & S_IWGRP) != 0 &&
      !IsTrustedGroup(status.st_gid)) {
    return "is writable by group " + std::to_string(status.st_gid);
  }
  return "";
}

// One walk down to a folder: where it is, and what is still to walk.
class Walker {
 public:
  Walker(const WalkRule& rule, std::vector<fs::path>* reached)
      : rule_(rule), reached_(reached) {}

  CheckedParent run(const fs::path& folder) {
    restartAtRoot();
    const fs::path names = folder.relative_path();
    pending_.assign(names.begin(), names.end());
    while (!pending_.empty()) {
      const fs::path name = pending_.front();
      pending_.pop_front();
      if (name == "..") {
        goUp();
      } else if (!name.empty() && name != ".") {
        enter(name);
      }
    }
    return std::move(at_);
  }

 private:
  void restartAtRoot() {
    at_.descriptor.reset(open("/", kDirectoryFlags));
    at_.path = "/";
    if (!at_.descriptor.valid()) {
      throw FileSystemError(errno, "Cannot open", "/");
    }
  }

  // The walk reached its folder without a link, so ".." is the folder it
  // came from, which passed already.
  void goUp() {
    at_.descriptor.reset(openat(at_.descriptor.get(), "..", kDirectoryFlags));
    if (!at_.descriptor.valid()) {
      throw FileSystemError(errno, "Cannot open", at_.path / "..");
    }
    at_.path = at_.path.parent_path();
  }

  void enter(const fs::path& name) {
    const fs::path path = at_.path / name;
    const int next =
        OpenDirectoryAt(at_.descriptor.get(), name.c_str(), rule_.missing);
    if (next < 0) {
      passUnopenable(name, path);
      return;
    }
    at_.descriptor.reset(next);
    at_.path = path;
    struct stat status {};
    if (fstat(next, &status) != 0) {
      throw FileSystemError(errno, "Cannot inspect", path);
    }
    std::string reason =
        ModeReason(status, EntryKind::kDirectory, rule_.sticky);
    if (reason.empty()) reason = AccessListReason(next, path);
    if (!reason.empty()) refuse(path, reason);
    if (reached_ != nullptr) reached_->push_back(path);
  }

  // `name` could not be opened as a directory: follows it when it is a link
  // the rule lets the walk follow, or says why it is refused, or throws the
  // failure to open it.
  void passUnopenable(const fs::path& name, const fs::path& path) {
    const int error = errno;
    struct stat status {};
    if ((error != ENOTDIR && error != ELOOP) ||
        fstatat(at_.descriptor.get(), name.c_str(), &status,
                AT_SYMLINK_NOFOLLOW) != 0) {
      throw FileSystemError(error, "Cannot open", path);
    }
    if (!rule_.followOwnLinks || !S_ISLNK(status.st_mode)) {
      const std::string reason =
          ModeReason(status, EntryKind::kDirectory, rule_.sticky);
      if (reason.empty()) throw FileSystemError(error, "Cannot open", path);
      refuse(path, reason);
    }
    if (!IsRootsOrOwn(status.st_uid)) {
      refuse(path, "is a symbolic link owned by user " +
                       std::to_string(status.st_uid));
    }
    follow(path);
  }

  // Puts the target of the link at `path`, an entry of the folder reached,
  // in front of what is still to walk.
  void follow(const fs::path& path) {
    if (++links_ > kMostLinks) {
      throw FileSystemError(ELOOP, "Cannot open", path);
    }
    const fs::path target = LinkTargetAt(at_.descriptor.get(), path);
    if (target.empty()) throw FileSystemError(ENOENT, "Cannot open", path);
    const fs::path relative = target.relative_path();
    pending_.insert(pending_.begin(), relative.begin(), relative.end());
    if (target.is_absolute()) restartAtRoot();
  }

  [[noreturn]] void refuse(const fs::path& path,
                           const std::string& reason) const {
    throw NativeControlError(rule_.refusal + path.native() + " " + reason);
  }

  const WalkRule& rule_;
  std::vector<fs::path>* reached_;
  CheckedParent at_{FileDescriptor(-1), "/"};
  std::deque<fs::path> pending_;
  int links_ = 0;
};

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
                         EntryKind kind, Sticky sticky) {
  const std::string reason = ModeReason(status, kind, sticky);
  // A list may grant what the mode does not show (on Linux the group bits
  // show only its mask; on macOS nothing of it).
  return reason.empty() ? AccessListReason(path) : reason;
}

void CheckEntry(const struct stat& status, const fs::path& path, EntryKind kind,
                const std::string& refusal) {
  const std::string reason = UnsafeReason(status, path, kind);
  if (!reason.empty()) {
    throw NativeControlError(refusal + path.native() + " " + reason);
  }
}

fs::path LinkTargetAt(int folder, const fs::path& link) {
  char target[PATH_MAX];
  const ssize_t size =
      readlinkat(folder, link.filename().c_str(), target, sizeof target);
  if (size < 0 || static_cast<size_t>(size) == sizeof target) {
    throw FileSystemError(size < 0 ? errno : ENAMETOOLONG, "Cannot read", link);
  }
  return std::string(target, static_cast<size_t>(size));
}

CheckedParent WalkToParent(const fs::path& path, const WalkRule& rule,
                           std::vector<fs::path>* reached) {
  return Walker(rule, reached).run(path.parent_path());
}

FileDescriptor OpenCheckedParent(const fs::path& path,
                                 const std::string& refusal, Missing missing,
                                 std::vector<fs::path>* reached) {
  return WalkToParent(path, {.refusal = refusal, .missing = missing}, reached)
      .descriptor;
}

}  // namespace ampervale
