#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <csignal>

#include "common/native_control_error.h"
#include "store/power_store.h"
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

constexpr double kNow = 780000000.0;
constexpr const char* kApplyFailure =
    "Waiting for a valid battery percentage; hardware state was preserved";

void FailToApply(const NativePowerPolicy& /*next*/) {
  throw NativeControlError(kApplyFailure);
}

// A live daemon inside this process (see the health tests), and a clock
// that stands still.
class PowerStoreUpdateTest : public ::testing::Test {
 protected:
  PowerStoreUpdateTest() {
    daemonLock_ = store_.lockFile("daemon.lock", true);
    store_.saveHealth({.pid = getpid(), .timestamp = kNow - 1});
  }
  ~PowerStoreUpdateTest() override {
    flock(daemonLock_, LOCK_UN);
    close(daemonLock_);
  }

  std::string stored() const { return ReadFile(policyPath_); }

  ScratchDirectory dir_;
  double clock_ = kNow;
  NativePowerStore store_{dir_.path() / "run", [this] { return clock_; }};
  std::filesystem::path policyPath_ = store_.directory() / "policy.json";
  int daemonLock_ = -1;
};

TEST_F(PowerStoreUpdateTest, StoresBeforeApplyingAndKeepsOtherFields) {
  WriteFile(policyPath_, R"({"adapterEnabled":true,"ledMode":"amber"})");
  const NativePowerPolicy expected{.upperLimit = 80,
                                   .adapterEnabled = true,
                                   .ledMode = "amber",
                                   .restoreChargingRequested = false};
  int applied = 0;
  store_.update(
      [](NativePowerPolicy& policy) {
        policy.upperLimit = 80;
        policy.restoreChargingRequested = false;
      },
      [&](const NativePowerPolicy& next) {
        EXPECT_EQ(expected, next);
        EXPECT_EQ(EncodePolicy(expected), stored());
        ++applied;
      });
  EXPECT_EQ(1, applied);
  EXPECT_EQ(EncodePolicy(expected), stored());
}

TEST_F(PowerStoreUpdateTest, NothingHappensWithoutALiveDaemon) {
  const auto mutate = [](NativePowerPolicy&) { ADD_FAILURE() << "mutated"; };
  const auto apply = [](const NativePowerPolicy&) {
    ADD_FAILURE() << "applied";
  };
  clock_ = kNow + 20;
  EXPECT_EQ("Charge daemon not running; prepare the helper backends",
            ThrownText([&] { store_.update(mutate, apply); }));
  clock_ = kNow;
  flock(daemonLock_, LOCK_UN);
  EXPECT_EQ("Charge daemon not running",
            ThrownText([&] { store_.update(mutate, apply); }));
  EXPECT_EQ(-1, ModeOf(policyPath_));
  WriteFile(policyPath_, R"({"upperLimit":55})");
  EXPECT_EQ("Charge daemon not running",
            ThrownText([&] { store_.update(mutate, apply); }));
  EXPECT_EQ(R"({"upperLimit":55})", stored());
}

TEST_F(PowerStoreUpdateTest, NothingIsWrittenWhenLoadMutationOrCheckFails) {
  const auto apply = [](const NativePowerPolicy&) {
    ADD_FAILURE() << "applied";
  };
  static const struct {
    const char* before;  // nullptr: no file
    std::function<void(NativePowerPolicy&)> mutation;
    const char* message;
  } cases[] = {
      {nullptr, [](NativePowerPolicy& p) { p.upperLimit = 100; },
       "Invalid stored charge limit"},
      {R"({"upperLimit":80})", [](NativePowerPolicy& p) { p.upperLimit = 100; },
       "Invalid stored charge limit"},
      {R"({"upperLimit":80})",
       [](NativePowerPolicy& p) { p.restoreChargingRequested = true; },
       "Conflicting stored charging policy"},
      {R"({"upperLimit":80})",
       [](NativePowerPolicy&) { throw NativeControlError("mutation failed"); },
       "mutation failed"},
      {R"({"upperLimit":100})", [](NativePowerPolicy&) {},
       "Invalid stored charge limit"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(policyPath_);
    if (c.before) WriteFile(policyPath_, c.before);
    EXPECT_EQ(c.message, ThrownText([&] { store_.update(c.mutation, apply); }))
        << c.message;
    if (c.before) {
      EXPECT_EQ(c.before, stored());
    } else {
      EXPECT_EQ(-1, ModeOf(policyPath_));
    }
  }
}

TEST_F(PowerStoreUpdateTest, AFailedApplyRestoresThePreviousPolicy) {
  static const struct {
    const char* before;  // nullptr: no file
    const char* after;
  } cases[] = {
      {nullptr, "{}"},
      {R"({"upperLimit":80,"ledMode":"green"})",
       R"({"upperLimit":80,"ledMode":"green"})"},
      {R"({ "ledMode" : "off", "future" : 1 })", R"({"ledMode":"off"})"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(policyPath_);
    if (c.before) WriteFile(policyPath_, c.before);
    EXPECT_EQ(kApplyFailure, ThrownText([&] {
                store_.update(
                    [](NativePowerPolicy& p) {
                      p.upperLimit.reset();
                      p.restoreChargingRequested = true;
                    },
                    FailToApply);
              }));
    EXPECT_EQ(c.after, stored());
  }
}

// The rollback's own failure is dropped: the caller hears of the apply step,
// and the new policy stays for the daemon to enforce.
TEST_F(PowerStoreUpdateTest, AFailedRollbackStillReportsTheApplyError) {
  WriteFile(policyPath_, R"({"upperLimit":80})");
  const auto blockWrites = [&](const NativePowerPolicy&) {
    ASSERT_EQ(0, mkdir((store_.directory() / "policy.json.tmp").c_str(), 0700));
    FailToApply({});
  };
  EXPECT_EQ(kApplyFailure, ThrownText([&] {
              store_.update([](NativePowerPolicy& p) { p.upperLimit = 60; },
                            blockWrites);
            }));
  EXPECT_EQ(R"({"upperLimit":60})", stored());
}

TEST_F(PowerStoreUpdateTest, ASuccessfulUpdateSettlesAPendingRestore) {
  static const struct {
    const char* before;
    std::function<void(NativePowerPolicy&)> mutation;
    bool pendingDuringApply;
    const char* after;
  } cases[] = {
      {R"({"restoreChargingRequested":true})",
       [](NativePowerPolicy& p) { p.ledMode = "amber"; }, true,
       R"({"ledMode":"amber","restoreChargingRequested":false})"},
      {R"({"upperLimit":80})",
       [](NativePowerPolicy& p) {
         p.upperLimit.reset();
         p.restoreChargingRequested = true;
       },
       true, R"({"restoreChargingRequested":false})"},
      {R"({"upperLimit":80})", [](NativePowerPolicy& p) { p.upperLimit = 70; },
       false, R"({"upperLimit":70})"},
  };
  for (const auto& c : cases) {
    WriteFile(policyPath_, c.before);
    store_.update(c.mutation, [&](const NativePowerPolicy& next) {
      EXPECT_EQ(c.pendingDuringApply, next.restoreChargingRequested == true)
          << c.after;
    });
    EXPECT_EQ(c.after, stored());
  }
}

size_t OpenDescriptors() {
  const std::filesystem::directory_iterator entries("/proc/self/fd");
  return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

TEST_F(PowerStoreUpdateTest, LeaksNoDescriptors) {
  if (!std::filesystem::exists("/proc/self/fd")) GTEST_SKIP();
  const size_t before = OpenDescriptors();
  for (int i = 0; i < 1000; ++i) {
    const auto limit = 30 + i % 70;
    const auto setLimit = [&](NativePowerPolicy& p) { p.upperLimit = limit; };
    if (i % 10 == 0) {
      EXPECT_EQ(kApplyFailure,
                ThrownText([&] { store_.update(setLimit, FailToApply); }));
    } else {
      store_.update(setLimit, [](const NativePowerPolicy&) {});
    }
  }
  EXPECT_EQ(before, OpenDescriptors());
}

// A command killed while it drives the hardware leaves the new policy,
// whole, and its lock free.
TEST_F(PowerStoreUpdateTest, AKilledUpdateLeavesAValidPolicy) {
  WriteFile(policyPath_, R"({"upperLimit":80})");
  const Pipe applying, never;
  const pid_t command = StartChild([&] {
    store_.update([](NativePowerPolicy& p) { p.upperLimit = 65; },
                  [&](const NativePowerPolicy&) {
                    applying.send('A');
                    never.receive();
                  });
    return 0;
  });
  ASSERT_EQ('A', applying.receive());
  ASSERT_EQ(0, kill(command, SIGKILL));
  EXPECT_EQ(128 + SIGKILL, WaitForChild(command));
  close(store_.lockFile("policy.lock", true));
  EXPECT_EQ(NativePowerPolicy{.upperLimit = 65}, store_.loadPolicy());
}

}  // namespace
}  // namespace ampervale
