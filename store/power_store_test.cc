#include "store/power_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "common/native_control_error.h"
#include "store/test_support.h"

namespace ampervale {
namespace {

using testing::ModeOf;
using testing::Pipe;
using testing::ReadFile;
using testing::ScratchDirectory;
using testing::StartChild;
using testing::ThrownText;
using testing::WaitForChild;
using testing::WriteFile;

constexpr const char* kUnexpected =
    "Backend runtime directory has unexpected ownership or type";

class PowerStoreTest : public ::testing::Test {
 protected:
  std::filesystem::path runPath() const { return dir_.path() / "run"; }

  ScratchDirectory dir_;
};

TEST_F(PowerStoreTest, CreatesMissingParentsPrivately) {
  const auto path = dir_.path() / "Library/Application Support/run";
  const NativePowerStore store(path);
  EXPECT_EQ(path, store.directory());
  EXPECT_EQ(0700, ModeOf(path));
  EXPECT_EQ(0700, ModeOf(path.parent_path()));
  EXPECT_EQ(0700, ModeOf(path.parent_path().parent_path()));
}

TEST_F(PowerStoreTest, NarrowsAnExistingDirectory) {
  ASSERT_EQ(0, mkdir(runPath().c_str(), 0700));
  ASSERT_EQ(0, chmod(runPath().c_str(), 0755));
  WriteFile(runPath() / "policy.json", "{\"ledMode\":\"amber\"}");
  const NativePowerStore store(runPath());
  EXPECT_EQ(0700, ModeOf(runPath()));
  EXPECT_EQ("{\"ledMode\":\"amber\"}", ReadFile(runPath() / "policy.json"));
}

TEST_F(PowerStoreTest, RefusesWhatIsNotItsOwnDirectory) {
  const auto target = dir_.path() / "target";
  ASSERT_EQ(0, mkdir(target.c_str(), 0755));
  ASSERT_EQ(0, symlink(target.c_str(), runPath().c_str()));
  EXPECT_EQ(kUnexpected, ThrownText([&] { NativePowerStore{runPath()}; }));
  EXPECT_EQ(0755, ModeOf(target));

  WriteFile(dir_.path() / "file", "");
  EXPECT_EQ(kUnexpected,
            ThrownText([&] { NativePowerStore{dir_.path() / "file"}; }));
  EXPECT_EQ("Cannot create " + (dir_.path() / "file/run").native() +
                ": Not a directory",
            ThrownText([&] { NativePowerStore{dir_.path() / "file/run"}; }));
}

TEST_F(PowerStoreTest, RefusesADirectoryOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a directory away";
  ASSERT_EQ(0, mkdir(runPath().c_str(), 0755));
  ASSERT_EQ(0, chown(runPath().c_str(), 12345, 12345));
  EXPECT_EQ(kUnexpected, ThrownText([&] { NativePowerStore{runPath()}; }));
  EXPECT_EQ(0755, ModeOf(runPath()));
}

TEST_F(PowerStoreTest, ProductionDirectoryIsFixed) {
  EXPECT_EQ("/Library/Application Support/Ampervale/run",
            NativePowerStore::productionDirectory().native());
}

TEST_F(PowerStoreTest, LockFilesExcludeEachOtherInOneProcess) {
  const NativePowerStore store(runPath());
  const int daemon = store.lockFile("daemon.lock", true);
  EXPECT_EQ(0600, ModeOf(runPath() / "daemon.lock"));
  EXPECT_EQ(FD_CLOEXEC, fcntl(daemon, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ("Backend daemon is already running",
            ThrownText([&] { store.lockFile("daemon.lock", true); }));
  flock(daemon, LOCK_UN);
  close(daemon);

  ASSERT_EQ(0, symlink("daemon.lock", (runPath() / "policy.lock").c_str()));
  EXPECT_EQ("Cannot open backend lock",
            ThrownText([&] { store.withPolicyLock([] {}); }));
}

TEST_F(PowerStoreTest, WithPolicyLockReturnsAndReleases) {
  const NativePowerStore store(runPath());
  EXPECT_EQ(42, store.withPolicyLock([] { return 42; }));
  EXPECT_EQ(
      "step failed", ThrownText([&] {
        store.withPolicyLock([] { throw NativeControlError("step failed"); });
      }));
  close(store.lockFile("policy.lock", true));
}

// The child announces that it is about to take the lock; the parent, still
// holding it, changes the policy, and only then lets go. A child that got
// past the lock early would report the old policy.
TEST_F(PowerStoreTest, PolicyLockOrdersProcesses) {
  const NativePowerStore store(runPath());
  const Pipe aboutToLock, result;
  pid_t child = -1;
  store.withPolicyLock([&] {
    store.savePolicy({.upperLimit = 50});
    child = StartChild([&] {
      aboutToLock.send('L');
      const auto limit = store.withPolicyLock(
          [&] { return store.loadPolicy().upperLimit.value_or(0); });
      result.send(static_cast<char>(limit));
      return 0;
    });
    ASSERT_EQ('L', aboutToLock.receive());
    store.savePolicy({.upperLimit = 60});
    EXPECT_FALSE(result.hasMessage());
  });
  EXPECT_EQ(60, result.receive());
  EXPECT_EQ(0, WaitForChild(child));
}

TEST_F(PowerStoreTest, DaemonLockKeepsASecondDaemonOut) {
  const NativePowerStore store(runPath());
  const Pipe locked, finish;
  const pid_t child = StartChild([&] {
    store.lockFile("daemon.lock", true);
    locked.send('L');
    finish.receive();
    return 0;
  });
  ASSERT_EQ('L', locked.receive());
  EXPECT_EQ("Backend daemon is already running",
            ThrownText([&] { store.lockFile("daemon.lock", true); }));
  finish.send('F');
  EXPECT_EQ(0, WaitForChild(child));
  close(store.lockFile("daemon.lock", true));
}

}  // namespace
}  // namespace ampervale
