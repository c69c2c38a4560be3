#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "store/power_store.h"
#include "store/test_support.h"

namespace ampervale {
namespace {

using testing::Pipe;
using testing::ScratchDirectory;
using testing::StartChild;
using testing::ThrownText;
using testing::WaitForChild;
using testing::WriteFile;

constexpr const char* kPrepare =
    "Charge daemon not running; prepare the helper backends";
constexpr const char* kNotRunning = "Charge daemon not running";
constexpr double kNow = 780000000.0;

// A daemon inside this process: a second open file holds "daemon.lock", as
// the daemon's own descriptor would, and the heartbeat carries our pid.
class PowerStoreHealthTest : public ::testing::Test {
 protected:
  ~PowerStoreHealthTest() override { releaseDaemonLock(); }

  void holdDaemonLock() { daemonLock_ = store_.lockFile("daemon.lock", true); }
  void releaseDaemonLock() {
    if (daemonLock_ < 0) return;
    flock(daemonLock_, LOCK_UN);
    close(daemonLock_);
    daemonLock_ = -1;
  }
  std::string healthText(double now) const {
    return ThrownText([&] { store_.health(now); });
  }

  ScratchDirectory dir_;
  NativePowerStore store_{dir_.path() / "run"};
  int daemonLock_ = -1;
};

TEST_F(PowerStoreHealthTest, JudgesTheHeartbeatByPidAndAge) {
  holdDaemonLock();
  static const struct {
    double age;
    int32_t pid;  // 1 stands for this process
    bool alive;
  } cases[] = {
      {0.0, 1, true},   {9.9, 1, true},     {10.0, 1, false}, {10.5, 1, false},
      {-1.0, 1, false}, {-0.001, 1, false}, {1.0, 0, false},  {1.0, -1, false},
  };
  for (const auto& c : cases) {
    const int32_t pid = c.pid == 1 ? getpid() : c.pid;
    const NativeDaemonHealth heartbeat{
        .pid = pid, .timestamp = kNow - c.age, .error = "Adapter: a"};
    store_.saveHealth(heartbeat);
    if (c.alive) {
      EXPECT_EQ(heartbeat, store_.health(kNow)) << c.pid << " " << c.age;
    } else {
      EXPECT_EQ(kPrepare, healthText(kNow)) << c.pid << " " << c.age;
    }
  }
}

TEST_F(PowerStoreHealthTest, AMissingOrBrokenHeartbeatIsNoDaemon) {
  holdDaemonLock();
  EXPECT_EQ(kPrepare, healthText(kNow));
  static const char* const contents[] = {"",
                                         "{",
                                         "[]",
                                         R"({"pid":1})",
                                         R"({"pid":"1","timestamp":0})",
                                         R"({"pid":2147483648,"timestamp":0})",
                                         "\xff\xfe"};
  for (const char* content : contents) {
    WriteFile(store_.directory() / "health.json", content);
    EXPECT_EQ(kPrepare, healthText(kNow)) << content;
  }
}

TEST_F(PowerStoreHealthTest, AHeartbeatOfAGoneProcessIsNoDaemon) {
  holdDaemonLock();
  const pid_t gone = StartChild([] { return 0; });
  ASSERT_EQ(0, WaitForChild(gone));
  store_.saveHealth({.pid = gone, .timestamp = kNow - 1});
  EXPECT_EQ(kPrepare, healthText(kNow));
}

TEST_F(PowerStoreHealthTest, AFreshHeartbeatNeedsTheDaemonLockHeld) {
  store_.saveHealth({.pid = getpid(), .timestamp = kNow - 1});
  EXPECT_EQ(kNotRunning, healthText(kNow));  // no lock file
  EXPECT_FALSE(std::filesystem::exists(store_.directory() / "daemon.lock"));
  holdDaemonLock();
  releaseDaemonLock();
  EXPECT_EQ(kNotRunning, healthText(kNow));  // nobody holds it
  holdDaemonLock();
  EXPECT_EQ(getpid(), store_.health(kNow).pid);

  releaseDaemonLock();
  std::filesystem::remove(store_.directory() / "daemon.lock");
  ASSERT_EQ(
      0, symlink("policy.lock", (store_.directory() / "daemon.lock").c_str()));
  close(store_.lockFile("policy.lock", true));
  EXPECT_EQ(kNotRunning, healthText(kNow));
}

// The daemon is another process: alive while it holds its lock, gone when
// it ends, although its heartbeat is still fresh.
TEST_F(PowerStoreHealthTest, SeesADaemonInAnotherProcess) {
  const Pipe ready, finish;
  const pid_t daemon = StartChild([&] {
    store_.lockFile("daemon.lock", true);
    store_.saveHealth({.pid = getpid(), .timestamp = kNow - 2, .error = "e"});
    ready.send('R');
    finish.receive();
    return 0;
  });
  ASSERT_EQ('R', ready.receive());
  EXPECT_EQ(
      (NativeDaemonHealth{.pid = daemon, .timestamp = kNow - 2, .error = "e"}),
      store_.health(kNow));
  finish.send('F');
  ASSERT_EQ(0, WaitForChild(daemon));
  EXPECT_EQ(kPrepare, healthText(kNow));
}

}  // namespace
}  // namespace ampervale
