#include "store/power_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>

#include "store/test_support.h"

namespace ampervale {
namespace {

using testing::ModeOf;
using testing::ThrownText;

constexpr const char* kUnexpected =
    "Backend runtime directory has unexpected ownership or type";
constexpr const char* kPrepare =
    "Charge daemon not running; prepare the helper backends";
constexpr const char* kNotRunning = "Charge daemon not running";
constexpr double kNow = 780000000.0;
constexpr int32_t kSelf = std::numeric_limits<int32_t>::max();
constexpr int32_t kGone = kSelf - 1;

constexpr const char* kLock = "daemon.lock";
enum class DaemonLock { kAbsent, kUnlocked, kHeld };

class PowerStoreTest : public ::testing::Test {
 protected:
  testing::ScratchDirectory dir_;
  std::filesystem::path run_ = dir_.path() / "run";
};

TEST_F(PowerStoreTest, MakesItsDirectoryPrivate) {
  const auto deep = dir_.path() / "Library/Application Support/run";
  NativePowerStore{deep};
  EXPECT_EQ(0700, ModeOf(deep));
  EXPECT_EQ(0700, ModeOf(deep.parent_path().parent_path()));
  ASSERT_EQ(0, mkdir(run_.c_str(), 0755));
  NativePowerStore{run_};
  EXPECT_EQ(0700, ModeOf(run_));
}

// Nothing is changed in what is refused.
TEST_F(PowerStoreTest, RefusesWhatIsNotItsOwnDirectory) {
  const auto target = dir_.path() / "target";
  ASSERT_EQ(0, mkdir(target.c_str(), 0755));
  ASSERT_EQ(0, symlink(target.c_str(), run_.c_str()));
  EXPECT_EQ(kUnexpected, ThrownText([&] { NativePowerStore{run_}; }));
  EXPECT_EQ(0755, ModeOf(target));
  testing::WriteFile(dir_.path() / "file", "");
  EXPECT_EQ(kUnexpected,
            ThrownText([&] { NativePowerStore{dir_.path() / "file"}; }));
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a directory away";
  ASSERT_EQ(0, chown(target.c_str(), 12345, 12345));
  EXPECT_EQ(kUnexpected, ThrownText([&] { NativePowerStore{target}; }));
  EXPECT_EQ(0755, ModeOf(target));
}

// A second daemon, in another process, is refused at once; the lock is free
// again when the first one ends, and no program it runs inherits it.
TEST_F(PowerStoreTest, DaemonLockKeepsASecondDaemonOut) {
  const NativePowerStore store(run_);
  const testing::Pipe locked, finish;
  const pid_t child = testing::StartChild([&] {
    const int lock = store.lockFile("daemon.lock", true);
    locked.send(fcntl(lock, F_GETFD) & FD_CLOEXEC ? 'C' : 'L');
    finish.receive();
    return 0;
  });
  ASSERT_EQ('C', locked.receive());
  EXPECT_EQ(0600, ModeOf(run_ / "daemon.lock"));
  EXPECT_EQ("Backend daemon is already running",
            ThrownText([&] { store.lockFile("daemon.lock", true); }));
  finish.send('F');
  EXPECT_EQ(0, testing::WaitForChild(child));
  close(store.lockFile("daemon.lock", true));
}

// The child announces that it is about to take the lock; the parent, still
// holding it, changes the policy, and only then lets go. A child that got
// past the lock early would report the old policy.
TEST_F(PowerStoreTest, PolicyLockOrdersProcesses) {
  const NativePowerStore store(run_);
  const testing::Pipe aboutToLock, result;
  pid_t child = -1;
  store.withPolicyLock([&] {
    store.savePolicy({.upperLimit = 50});
    child = testing::StartChild([&] {
      aboutToLock.send('L');
      result.send(static_cast<char>(store.withPolicyLock(
          [&] { return store.loadPolicy().upperLimit.value_or(0); })));
      return 0;
    });
    ASSERT_EQ('L', aboutToLock.receive());
    store.savePolicy({.upperLimit = 60});
    EXPECT_FALSE(result.hasMessage());
  });
  EXPECT_EQ(60, result.receive());
  EXPECT_EQ(0, testing::WaitForChild(child));
}

// Alive means a fresh heartbeat from a live process, and "daemon.lock" held:
// here by a second open file of this process, as by the daemon's own.
TEST_F(PowerStoreTest, HealthJudgesTheHeartbeatAndTheDaemonLock) {
  static const struct {
    int32_t pid;
    double age;
    DaemonLock lock;
    const char* error;
  } cases[] = {
      {kSelf, 0.0, DaemonLock::kHeld, "(nothing thrown)"},
      {kSelf, 9.9, DaemonLock::kHeld, "(nothing thrown)"},
      {kSelf, 10.0, DaemonLock::kHeld, kPrepare},
      {kSelf, -0.001, DaemonLock::kHeld, kPrepare},
      {0, 1.0, DaemonLock::kHeld, kPrepare},
      {-1, 1.0, DaemonLock::kHeld, kPrepare},
      {kGone, 1.0, DaemonLock::kHeld, kPrepare},
      {kSelf, 1.0, DaemonLock::kAbsent, kNotRunning},
      {kSelf, 1.0, DaemonLock::kUnlocked, kNotRunning},
  };
  const NativePowerStore store(run_);
  const pid_t gone = testing::StartChild([] { return 0; });
  ASSERT_EQ(0, testing::WaitForChild(gone));
  for (const auto& c : cases) {
    std::filesystem::remove(store.directory() / kLock);
    std::optional<HeldLock> held;
    if (c.lock != DaemonLock::kAbsent) {
      held.emplace(store.lockFile(kLock, true));
    }
    if (c.lock == DaemonLock::kUnlocked) held.reset();
    const int32_t pid = c.pid == kSelf   ? getpid()
                        : c.pid == kGone ? gone
                                         : c.pid;
    const NativeDaemonHealth heartbeat{pid, kNow - c.age, "Adapter: a"};
    store.saveHealth(heartbeat);
    EXPECT_EQ(c.error,
              ThrownText([&] { EXPECT_EQ(heartbeat, store.health(kNow)); }))
        << c.pid << " " << c.age << " " << static_cast<int>(c.lock);
  }
  // No heartbeat, or one that cannot be decoded, is no daemon either.
  const HeldLock held(store.lockFile(kLock, true));
  testing::WriteFile(store.directory() / "health.json", "{\"pid\":1}");
  EXPECT_EQ(kPrepare, ThrownText([&] { store.health(kNow); }));
  std::filesystem::remove(store.directory() / "health.json");
  EXPECT_EQ(kPrepare, ThrownText([&] { store.health(kNow); }));
}

}  // namespace
}  // namespace ampervale
