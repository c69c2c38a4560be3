#include <gtest/gtest.h>

#include <cstdio>

#include "control/fake_smc_access.h"
#include "sim/physics.h"

namespace ampervale::sim {
namespace {

// Limit 80 %, charging resumes at 75 % (bfE0 = 0x4b).
constexpr const char* kLimiter = "bfF0 02, bfD0 50 00 00 00, bfE0 4b 00 00 00";

// One step of 36 simulated seconds: +0.4 % charging, -0.12 % draining. The
// outcome is the level, the state and "held" while the firmware limiter
// waits for the level to fall to bfE0.
TEST(PhysicsTest, KeysInForceDecideOneStep) {
  static const struct {
    double level;
    // The reason is the one before the step.
    const char *keys, *outcome, *reason, *adapter_key = "";
    bool held = false, plugged = true;
  } kCases[] = {
      {50, "", "50.4 charging", "adapter supplying power", "CHIE"},
      {99.8, "", "100 holding", "adapter supplying power", "CHIE"},
      {100, "", "100 holding", "battery full", "CHIE"},
      {50, "CH0B 02", "50 holding", "charging inhibited by CH0B 02"},
      {50, "CH0C 02", "50 holding", "charging inhibited by CH0C 02"},
      {50, "CHTE 01 00 00 00", "50 holding",
       "charging inhibited by CHTE 01000000"},
      {50, "CHIE 08", "49.88 draining", "adapter cut off by CHIE 08", "CHIE"},
      {50, "CH0J 01, CH0B 02", "49.88 draining", "adapter cut off by CH0J 01",
       "CH0J"},
      {0.1, "", "0 draining", "adapter unplugged", "", false, false},
      {70, kLimiter, "70.4 charging", "up to the firmware limit 80 %"},
      {79.8, kLimiter, "80 holding held", "up to the firmware limit 80 %"},
      {78, kLimiter, "78 holding held", "firmware limit 80 %, resumes at 75 %",
       "", true},
      {75, kLimiter, "75.4 charging", "firmware limit 80 %, resumes at 75 %",
       "", true},
      {80, "bfF0 00, bfD0 50 00 00 00", "80.4 charging",
       "adapter supplying power", "", true},
      {99.8, "bfF0 02, bfD0 c8 00 00 00", "100 holding held",
       "up to the firmware limit 100 %"},
      // Without bfE0 charging resumes below bfD0.
      {79, "bfF0 02, bfD0 50 00 00 00", "79.4 charging",
       "firmware limit 80 %, resumes at 80 %", "", true},
  };
  for (const auto& c : kCases) {
    const std::string name = std::string(c.keys) + " at " +
                             std::to_string(c.level) + (c.held ? " held" : "");
    const ChargeControls controls = ReadChargeControls(
        SMCModel(KeysFromText(c.keys)), c.adapter_key, c.plugged);
    Battery battery{.level = c.level, .firmware_holding = c.held};
    EXPECT_EQ(c.reason, ReasonOf(battery, controls)) << name;
    const PowerState state = Advance(battery, controls, 36);
    char outcome[64];
    std::snprintf(outcome, sizeof outcome, "%g %s%s", battery.level,
                  PowerStateName(state).data(),
                  battery.firmware_holding ? " held" : "");
    EXPECT_EQ(c.outcome, std::string(outcome)) << name;
    EXPECT_EQ(state, StateOf(battery, controls)) << name;
  }
}

}  // namespace
}  // namespace ampervale::sim
