#ifndef AMPERVALE_STORE_LOCK_FILE_H_
#define AMPERVALE_STORE_LOCK_FILE_H_

#include <filesystem>

namespace ampervale {

// Lock files are entries of the directory open as `directory`; `path` is
// the entry's full path, whose last component names it there.

// Opens the lock file for reading and writing (created with mode 0600 when
// missing, never through a symbolic link, closed on exec) and takes an
// exclusive flock on it, waiting for it unless `nonblocking`. Only a
// regular file owned by the effective user is locked: one owned by anyone
// else holds nothing and is replaced. Returns the descriptor, which the
// caller owns together with the lock. Throws NativeControlError: "Cannot
// open backend lock" when the file cannot be opened; "Backend lock is not
// a regular file owned by user UID: PATH" for anything else in its place,
// or a foreign file that could not be replaced; "Backend daemon is already
// running" when the lock is not taken (held elsewhere, or any other failure
// of flock).
int OpenLockedFile(int directory, const std::filesystem::path& path,
                   bool nonblocking);

// Owns a descriptor from OpenLockedFile: whatever happens in its scope, the
// lock is released (LOCK_UN) and the descriptor closed at its end.
class HeldLock {
 public:
  explicit HeldLock(int descriptor) noexcept : descriptor_(descriptor) {}
  ~HeldLock();
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 private:
  int descriptor_;
};

enum class LockProbe {
  kUnopenable,     // missing, not a regular file owned by the effective
                   // user, or otherwise not openable
  kFree,           // nobody holds it (the probe took and released it)
  kHeldElsewhere,  // another open file holds it
  kFailed,         // flock failed for another reason
};

// Whether another open file holds an flock on the lock file, found without
// creating the file or waiting.
LockProbe ProbeLock(int directory, const std::filesystem::path& path);

}  // namespace ampervale

#endif  // AMPERVALE_STORE_LOCK_FILE_H_
