#include <gtest/gtest.h>
#include <sys/file.h>

#include <csignal>

#include "common/native_control_error.h"
#include "store/power_store.h"
#include "store/test_support.h"

namespace ampervale {
namespace {

using testing::ReadFile;
using testing::ThrownText;
using testing::WriteFile;

constexpr double kNow = 780000000.0;
constexpr const char* kApplyFailure =
    "Waiting for a valid battery percentage; hardware state was preserved";
constexpr const char* kNoFile = "(no file)";
constexpr const char* kDone = "(nothing thrown)";

void Limit80(NativePowerPolicy& p) { p.upperLimit = 80; }
void Limit100(NativePowerPolicy& p) { p.upperLimit = 100; }
void Amber(NativePowerPolicy& p) { p.ledMode = "amber"; }
void Restore(NativePowerPolicy& p) {
  p.upperLimit.reset();
  p.restoreChargingRequested = true;
}

// A live daemon inside this process: "daemon.lock" held through a second
// open file, and a heartbeat one second old by a clock that stands still.
class PowerStoreUpdateTest : public ::testing::Test {
 protected:
  PowerStoreUpdateTest() {
    store_.saveHealth({.pid = getpid(), .timestamp = kNow - 1});
  }

  std::string stored() const {
    return std::filesystem::exists(policy_) ? ReadFile(policy_) : kNoFile;
  }

  testing::ScratchDirectory dir_;
  NativePowerStore store_{dir_.path() / "run", [] { return kNow; }};
  std::filesystem::path policy_ = store_.directory() / "policy.json";
  const HeldLock daemon_{store_.lockFile("daemon.lock", true)};
};

size_t OpenDescriptors() {
  const std::filesystem::directory_iterator entries("/dev/fd");
  return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

// Rows expecting kApplyFailure have the apply step fail. Every way an
// update ends releases what it opened.
TEST_F(PowerStoreUpdateTest, StoresAppliesAndRollsBackAsATransaction) {
  static const struct {
    const char* before;
    void (*mutation)(NativePowerPolicy&);
    const char* error;
    const char* after;
  } cases[] = {
      {kNoFile, Limit80, kDone, R"({"upperLimit":80})"},
      {R"({"adapterEnabled":true,"ledMode":"amber"})", Limit80, kDone,
       R"({"upperLimit":80,"adapterEnabled":true,"ledMode":"amber"})"},
      // A pending restore is settled once it was applied.
      {R"({"restoreChargingRequested":true})", Amber, kDone,
       R"({"ledMode":"amber","restoreChargingRequested":false})"},
      {R"({"upperLimit":80})", Restore, kDone,
       R"({"restoreChargingRequested":false})"},
      // A failed apply step leaves the previous policy, or the empty one.
      {kNoFile, Restore, kApplyFailure, "{}"},
      {R"({ "ledMode" : "off", "x" : 1 })", Limit80, kApplyFailure,
       R"({"ledMode":"off"})"},
      // Nothing is written when the new or the old policy is refused.
      {kNoFile, Limit100, "Invalid stored charge limit", kNoFile},
      {R"({"upperLimit":100})", Amber, "Invalid stored charge limit",
       R"({"upperLimit":100})"},
  };
  const size_t descriptors = OpenDescriptors();
  for (const auto& c : cases) {
    std::filesystem::remove(policy_);
    if (c.before != kNoFile) WriteFile(policy_, c.before);
    EXPECT_EQ(c.error, ThrownText([&] {
                store_.update(c.mutation, [&](const NativePowerPolicy& next) {
                  EXPECT_EQ(EncodePolicy(next), stored()) << c.before;
                  if (c.error == kApplyFailure) {
                    throw NativeControlError(kApplyFailure);
                  }
                });
              }))
        << c.before;
    EXPECT_EQ(c.after, stored()) << c.before;
  }
  // Nothing is written either when the policy cannot be decoded or the
  // daemon is gone.
  WriteFile(policy_, R"({"ledMode":7})");
  EXPECT_EQ(
      "Cannot decode " + policy_.native() + ": \"ledMode\" is not a string",
      ThrownText([&] { store_.update(Amber, nullptr); }));
  store_.saveHealth({.pid = getpid(), .timestamp = kNow - 10});
  EXPECT_EQ("Charge daemon not running; prepare the helper backends",
            ThrownText([&] { store_.update(Limit80, nullptr); }));
  EXPECT_EQ(R"({"ledMode":7})", stored());
  EXPECT_EQ(descriptors, OpenDescriptors());
}

// Lock and record descriptors are released on every path, however often.
TEST_F(PowerStoreUpdateTest, AThousandUpdatesLeakNoDescriptor) {
  const size_t descriptors = OpenDescriptors();
  for (int update = 0; update < 1000; ++update) {
    ThrownText([&] {
      store_.update(Amber, [&](const NativePowerPolicy&) {
        if (update % 2) throw NativeControlError(kApplyFailure);
      });
    });
  }
  EXPECT_EQ(descriptors, OpenDescriptors());
}

// A command killed while it drives the hardware leaves the new policy,
// whole, and its lock free.
TEST_F(PowerStoreUpdateTest, AKilledUpdateLeavesAValidPolicy) {
  WriteFile(policy_, R"({"upperLimit":70})");
  const testing::Pipe applying, never;
  const pid_t command = testing::StartChild([&] {
    store_.update(Limit80, [&](const NativePowerPolicy&) {
      applying.send('A');
      never.receive();
    });
    return 0;
  });
  ASSERT_EQ('A', applying.receive());
  ASSERT_EQ(0, kill(command, SIGKILL));
  EXPECT_EQ(128 + SIGKILL, testing::WaitForChild(command));
  EXPECT_EQ(NativePowerPolicy{.upperLimit = 80},
            store_.withPolicyLock([&] { return store_.loadPolicy(); }));
}

}  // namespace
}  // namespace ampervale
