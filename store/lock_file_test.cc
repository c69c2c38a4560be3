#include "store/lock_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include "store/test_support.h"

namespace ampervale {
namespace {

using testing::ModeOf;
using testing::ScratchDirectory;
using testing::ThrownText;

class LockFileTest : public ::testing::Test {
 protected:
  ScratchDirectory dir_;
  std::filesystem::path path_ = dir_.path() / "daemon.lock";
};

TEST_F(LockFileTest, CreatesAPrivateFileAndExcludesOtherOpenFiles) {
  const int held = OpenLockedFile(path_, true);
  EXPECT_EQ(0600, ModeOf(path_));
  EXPECT_EQ(FD_CLOEXEC, fcntl(held, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ("Backend daemon is already running",
            ThrownText([&] { OpenLockedFile(path_, true); }));
  flock(held, LOCK_UN);
  close(held);
  close(OpenLockedFile(path_, true));
}

TEST_F(LockFileTest, RefusesSymbolicLinks) {
  const auto target = dir_.path() / "target";
  ASSERT_EQ(0, symlink(target.c_str(), path_.c_str()));
  EXPECT_EQ("Cannot open backend lock",
            ThrownText([&] { OpenLockedFile(path_, false); }));
  EXPECT_EQ(-1, ModeOf(target));
  EXPECT_EQ("Cannot open backend lock",
            ThrownText([&] { OpenLockedFile(dir_.path() / "no/such", true); }));
}

TEST_F(LockFileTest, HeldLockReleasesOnEveryPath) {
  {
    const HeldLock lock(OpenLockedFile(path_, false));
    EXPECT_EQ(LockProbe::kHeldElsewhere, ProbeLock(path_));
  }
  EXPECT_EQ(LockProbe::kFree, ProbeLock(path_));
  try {
    const HeldLock lock(OpenLockedFile(path_, false));
    throw std::runtime_error("step failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(LockProbe::kFree, ProbeLock(path_));
}

TEST_F(LockFileTest, ProbesWithoutCreating) {
  EXPECT_EQ(LockProbe::kUnopenable, ProbeLock(path_));
  EXPECT_EQ(-1, ModeOf(path_));
  ASSERT_EQ(0, symlink("elsewhere", path_.c_str()));
  EXPECT_EQ(LockProbe::kUnopenable, ProbeLock(path_));
}

}  // namespace
}  // namespace ampervale
