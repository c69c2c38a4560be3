#include "store/lock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/native_control_error.h"
#include "store/file_descriptor.h"

namespace ampervale {

namespace {

constexpr mode_t kLockMode = 0600;
// O_NONBLOCK: a FIFO in a lock file's place must not make the open wait.
// flock still waits: it does not look at the flag.
constexpr int kLockFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// A signal that interrupts the wait says nothing about the lock.
int FlockRetryingInterrupts(int descriptor, int operation) {
  int result = 0;
  do {
    result = flock(descriptor, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

bool IsOwnRegularFile(int descriptor) {
  struct stat status {};
  return fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
         status.st_uid == geteuid();
}

// Opens the lock file when it is a regular file owned by the effective
// user; -1 otherwise.
int OpenOwnLockFile(int directory, const char* name, int flags) {
  FileDescriptor descriptor(openat(directory, name, flags, kLockMode));
  if (!descriptor.valid() || !IsOwnRegularFile(descriptor.get())) return -1;
  const int own = descriptor.get();
  descriptor.release();
  return own;
}

// Removes the lock file if it is a regular file owned by someone else.
// Our processes never lock such a file, so no lock of theirs is broken;
// the flock on the directory keeps two of them from both removing it, the
// second one then removing the first one's replacement. LOCK_NB: a
// descriptor of the directory kept by another user could hold it forever.
bool RemoveForeignLockFile(int directory, const char* name) {
  if (FlockRetryingInterrupts(directory, LOCK_EX | LOCK_NB) != 0) return false;
  struct stat status {};
  const bool removed =
      fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(status.st_mode) && status.st_uid != geteuid() &&
      unlinkat(directory, name, 0) == 0;
  flock(directory, LOCK_UN);
  return removed;
}

int OpenLockFile(int directory, const std::filesystem::path& path) {
  const std::string name = path.filename();
  int descriptor =
      OpenOwnLockFile(directory, name.c_str(), kLockFlags | O_CREAT);
  if (descriptor < 0 && RemoveForeignLockFile(directory, name.c_str())) {
    descriptor = OpenOwnLockFile(directory, name.c_str(), kLockFlags | O_CREAT);
  }
  if (descriptor >= 0) return descriptor;
  struct stat status {};
  if (fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      S_ISLNK(status.st_mode)) {
    throw NativeControlError("Cannot open backend lock");
  }
  throw NativeControlError("Backend lock is not a regular file owned by user " +
                           std::to_string(geteuid()) + ": " + path.native());
}

}  // namespace

int OpenLockedFile(int directory, const std::filesystem::path& path,
                   bool nonblocking) {
  const int descriptor = OpenLockFile(directory, path);
  const int operation = nonblocking ? LOCK_EX | LOCK_NB : LOCK_EX;
  if (FlockRetryingInterrupts(descriptor, operation) != 0) {
    close(descriptor);
    throw NativeControlError("Backend daemon is already running");
  }
  return descriptor;
}

HeldLock::~HeldLock() {
  flock(descriptor_, LOCK_UN);
  close(descriptor_);
}

LockProbe ProbeLock(int directory, const std::filesystem::path& path) {
  const FileDescriptor descriptor(
      OpenOwnLockFile(directory, path.filename().c_str(), kLockFlags));
  if (!descriptor.valid()) return LockProbe::kUnopenable;
  if (FlockRetryingInterrupts(descriptor.get(), LOCK_EX | LOCK_NB) == 0) {
    flock(descriptor.get(), LOCK_UN);
    return LockProbe::kFree;
  }
  return errno == EWOULDBLOCK ? LockProbe::kHeldElsewhere : LockProbe::kFailed;
}

}  // namespace ampervale
