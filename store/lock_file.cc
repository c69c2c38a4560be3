#include "store/lock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "common/native_control_error.h"
#include "store/file_descriptor.h"

namespace ampervale {

namespace {

constexpr mode_t kLockMode = 0600;

// A signal that interrupts the wait says nothing about the lock.
int FlockRetryingInterrupts(int descriptor, int operation) {
  int result = 0;
  do {
    result = flock(descriptor, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

}  // namespace

int OpenLockedFile(const std::filesystem::path& path, bool nonblocking) {
  const int descriptor =
      open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kLockMode);
  if (descriptor < 0) throw NativeControlError("Cannot open backend lock");
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

LockProbe ProbeLock(const std::filesystem::path& path) {
  const FileDescriptor descriptor(
      open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  if (!descriptor.valid()) return LockProbe::kUnopenable;
  if (FlockRetryingInterrupts(descriptor.get(), LOCK_EX | LOCK_NB) == 0) {
    flock(descriptor.get(), LOCK_UN);
    return LockProbe::kFree;
  }
  return errno == EWOULDBLOCK ? LockProbe::kHeldElsewhere : LockProbe::kFailed;
}

}  // namespace ampervale
