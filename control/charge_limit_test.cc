#include <gtest/gtest.h>

#include "control/fake_smc_access.h"
#include "control/power_controller.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;
using namespace std::string_literals;

constexpr std::optional<int64_t> kUnknown;
constexpr const char* kRange = "Charge limit must be between 30 and 100";
constexpr const char* kWaiting =
    "Waiting for a valid battery percentage; hardware state was preserved";
constexpr const char* kAt90 = "bfF0 02, bfD0 5a 00 00 00, bfE0 59 00 00 00";
constexpr const char* kAt80 = "bfF0 02, bfD0 50 00 00 00, bfE0 4f 00 00 00";

// A repeated call, the machine now as it was set, writes nothing; a failed
// one leaves the keys as they were. Every write back is tried, the limiter off
// first, whatever fails in it. CH0B goes back only when CH0C failed; CH0C's
// failure is what is thrown.
TEST(ApplyLimitTest, WritesWhatDiffersInOrderAndRollsBackFailures) {
  static const struct {
    Mode mode;
    const char* before;
    int64_t limit;
    std::optional<int64_t> percentage;
    const char *written, *error = "";
    const char* drop = "";    // a key whose writes are lost
    const char* refuse = "";  // a key whose writes fail
  } cases[] = {
      {Mode::firmware, "", 80, kUnknown,
       "bfD0 50 00 00 00, bfE0 4f 00 00 00, bfF0 02"},
      // The limiter is off while its thresholds change.
      {Mode::firmware, kAt90, 80, kUnknown,
       "bfF0 00, bfD0 50 00 00 00, bfE0 4f 00 00 00, bfF0 02"},
      {Mode::firmware, "bfD0 50 00 00 00, bfE0 4f 00 00 00", 80, 10, "bfF0 02"},
      {Mode::firmware, kAt80, 100, kUnknown, "bfF0 00"},
      {Mode::legacyPair, "CH0B 02, CH0C 02", 100, kUnknown, "CH0B 00, CH0C 00"},
      {Mode::legacySingle, "CHTE 01 00 00 00", 100, 0, "CHTE 00 00 00 00"},
      {Mode::firmware, "bfD0 00 00", 80, 50, "",
       "Charging key bfD0 changed payload width to 2, expected 4; hardware "
       "state was preserved"},
      {Mode::firmware, "", 29, 50, "", kRange},
      {Mode::legacyPair, "", 101, 50, "", kRange},
      {Mode::legacyPair, "CH0B 02, CH0C 02", 80, 79, "CH0B 00, CH0C 00"},
      {Mode::legacyPair, "", 80, 80, "CH0B 02, CH0C 02"},
      // A full battery is a valid reading, and so is an empty one.
      {Mode::legacyPair, "", 80, 100, "CH0B 02, CH0C 02"},
      {Mode::legacySingle, "CHTE 01 00 00 00", 80, 0, "CHTE 00 00 00 00"},
      {Mode::legacySingle, "", 80, 80, "CHTE 01 00 00 00"},
      {Mode::legacyPair, "", 80, kUnknown, "", kWaiting},
      {Mode::legacySingle, "", 80, 101, "", kWaiting},
      {Mode::firmware, kAt90, 80, 90,
       "bfF0 00, bfD0 50 00 00 00, bfE0 4f 00 00 00, "
       "bfF0 00, bfD0 5a 00 00 00, bfE0 59 00 00 00, bfF0 02",
       "SMC write verification failed for bfE0", "bfE0"},
      {Mode::firmware, kAt90, 80, 90,
       "bfF0 00, bfD0 50 00 00 00, "
       "bfF0 00, bfD0 5a 00 00 00, bfE0 59 00 00 00, bfF0 02",
       "bfD0 refused", "", "bfD0"},
      {Mode::legacyPair, "", 80, 90, "CH0B 02, CH0C 02, CH0B 00",
       "SMC write verification failed for CH0C", "CH0C"},
      {Mode::legacyPair, "CH0B 02", 80, 90, "CH0C 02, CH0B 02",
       "SMC write verification failed for CH0C", "CH0C", "CH0B"},
      {Mode::legacyPair, "", 80, 90, "CH0B 02", "CH0B refused", "", "CH0B"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << NativePowerController::RawValue(c.mode) << " [" << c.before
                 << "] " << c.limit << " at " << c.percentage.value_or(-9));
    FakeMachine machine(c.mode, c.before);
    const FakeSMCAccess::KeyTable before = machine.smc->keys();
    if (*c.drop) machine.smc->dropWrites(c.drop);
    if (*c.refuse) machine.smc->failWrite(c.refuse, c.refuse + " refused"s);
    const auto apply = [&] {
      machine.controller.applyLimit(c.limit, c.percentage);
    };
    EXPECT_EQ(c.error, ControlErrorOf(apply));
    EXPECT_EQ(c.written, machine.smc->writtenText());
    if (*c.error) {
      EXPECT_EQ(before, machine.smc->keys()) << "changed";
    }
    machine.smc->clearLog();
    EXPECT_EQ(c.error, ControlErrorOf(apply));
    EXPECT_EQ(*c.drop || *c.refuse ? c.written : "", machine.smc->writtenText())
        << "repeated";
  }
}

// The firmware's limiter is preferred to legacy keys the machine also has;
// "orange" is the LED's amber by another name.
TEST(ControllerTest, PrefersTheFirmwareAndKnowsTheLEDsNames) {
  auto smc = std::make_shared<FakeSMCAccess>(FakeMachineKeys(Mode::firmware));
  smc->set("CH0B", {0}), smc->set("CH0C", {0});
  NativePowerController controller(smc);
  EXPECT_EQ(Mode::firmware, controller.mode());
  controller.setLED("orange");
  EXPECT_EQ("ACLC 04", smc->writtenText());
}

}  // namespace
}  // namespace ampervale
