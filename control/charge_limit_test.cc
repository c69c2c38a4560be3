#include <gtest/gtest.h>

#include "control/fake_smc_access.h"
#include "control/power_controller.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;

constexpr std::optional<int64_t> kUnknown;
constexpr const char* kRange = "Charge limit must be between 30 and 100";
constexpr const char* kWaiting =
    "Waiting for a valid battery percentage; hardware state was preserved";
constexpr const char* kAt90 = "bfF0 02, bfD0 5a 00 00 00, bfE0 59 00 00 00";
constexpr const char* kAt80 = "bfF0 02, bfD0 50 00 00 00, bfE0 4f 00 00 00";

// A repeated call, the machine now as it was set, writes nothing.
TEST(ApplyLimitTest, WritesWhatDiffersInOrderAndNothingWhenRepeated) {
  static const struct {
    Mode mode;
    const char* before;
    int64_t limit;
    std::optional<int64_t> percentage;
    const char* written;
    const char* error = "";
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
      {Mode::legacySingle, "", 80, 80, "CHTE 01 00 00 00"},
      {Mode::legacyPair, "", 80, kUnknown, "", kWaiting},
      {Mode::legacySingle, "", 80, 101, "", kWaiting},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << NativePowerController::RawValue(c.mode) << " [" << c.before
                 << "] " << c.limit << " at " << c.percentage.value_or(-9));
    FakeMachine machine(c.mode, c.before);
    const auto apply = [&] {
      return ControlErrorOf(
          [&] { machine.controller.applyLimit(c.limit, c.percentage); });
    };
    EXPECT_EQ(c.error, apply());
    EXPECT_EQ(c.written, machine.smc->writtenText());
    machine.smc->clearLog();
    EXPECT_EQ(c.error, apply());
    EXPECT_EQ("", machine.smc->writtenText()) << "repeated";
  }
}

// Every write back is tried, the limiter off first, whatever fails in it.
// CH0B goes back only when CH0C failed; CH0C's failure is what is thrown.
TEST(ApplyLimitTest, FailureWritesBackWhatItRead) {
  static const struct {
    Mode mode;
    const char* before;
    void (*fault)(FakeSMCAccess&);
    const char* error;
    const char* written;
  } cases[] = {
      {Mode::firmware, kAt90,
       [](FakeSMCAccess& smc) { smc.dropWrites("bfE0"); },
       "SMC write verification failed for bfE0",
       "bfF0 00, bfD0 50 00 00 00, bfE0 4f 00 00 00, "
       "bfF0 00, bfD0 5a 00 00 00, bfE0 59 00 00 00, bfF0 02"},
      {Mode::firmware, kAt90,
       [](FakeSMCAccess& smc) { smc.failWrite("bfD0", "refused"); }, "refused",
       "bfF0 00, bfD0 50 00 00 00, "
       "bfF0 00, bfD0 5a 00 00 00, bfE0 59 00 00 00, bfF0 02"},
      {Mode::legacyPair, "", [](FakeSMCAccess& smc) { smc.dropWrites("CH0C"); },
       "SMC write verification failed for CH0C", "CH0B 02, CH0C 02, CH0B 00"},
      {Mode::legacyPair, "CH0B 02",
       [](FakeSMCAccess& smc) {
         smc.dropWrites("CH0C");
         smc.failWrite("CH0B", "CH0B refused");
       },
       "SMC write verification failed for CH0C", "CH0C 02, CH0B 02"},
      {Mode::legacyPair, "",
       [](FakeSMCAccess& smc) { smc.failWrite("CH0B", "CH0B refused"); },
       "CH0B refused", "CH0B 02"},
  };
  for (const auto& c : cases) {
    FakeMachine machine(c.mode, c.before);
    const FakeSMCAccess::KeyTable before = machine.smc->keys();
    c.fault(*machine.smc);
    EXPECT_EQ(c.error,
              ControlErrorOf([&] { machine.controller.applyLimit(80, 90); }));
    EXPECT_EQ(c.written, machine.smc->writtenText()) << c.error;
    EXPECT_EQ(before, machine.smc->keys()) << c.error;
  }
}

}  // namespace
}  // namespace ampervale
