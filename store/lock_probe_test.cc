#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "store/power_store.h"
#include "store/test_support.h"

// The error every non-blocking flock of this process fails with, or only
// the next one for EINTR, as a signal interrupts one wait; 0: none.
static int non_blocking_flock_error = 0;

// Takes the place of the C library's flock in this test program, so that a
// probe can meet the errors a real file system may give.
extern "C" int flock(int descriptor, int operation) noexcept {
  using Flock = int (*)(int, int);
  static const auto real = reinterpret_cast<Flock>(dlsym(RTLD_NEXT, "flock"));
  if (non_blocking_flock_error != 0 && (operation & LOCK_NB) != 0) {
    errno = non_blocking_flock_error;
    if (errno == EINTR) non_blocking_flock_error = 0;
    return -1;
  }
  return real(descriptor, operation);
}

namespace ampervale {
namespace {

// A probe that cannot be made proves nothing: only a lock held elsewhere
// counts as a live daemon. A lock interrupted by a signal is tried again.
TEST(LockProbeTest, AFailedProbeNeverCountsAsALiveDaemon) {
  testing::ScratchDirectory scratch;
  const NativePowerStore store(scratch.path() / "run");
  non_blocking_flock_error = EINTR;
  close(store.lockFile("daemon.lock", true));
  const double now = NowSinceReferenceDate();
  store.saveHealth({.pid = getpid(), .timestamp = now});
  non_blocking_flock_error = ENOLCK;
  const std::string thrown = testing::ThrownText([&] { store.health(now); });
  non_blocking_flock_error = 0;
  EXPECT_EQ("Cannot verify charging daemon", thrown);
}

}  // namespace
}  // namespace ampervale
