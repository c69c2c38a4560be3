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
    const char *keys, *adapter_key;
    bool plugged;
    double level;
    bool held;
    const char *outcome, *reason;  // the reason before the step
  } kCases[] = {
      {"", "CHIE", true, 50, false, "50.4 charging", "adapter supplying power"},
      {"", "CHIE", true, 99.8, false, "100 holding", "adapter supplying power"},
      {"", "CHIE", true, 100, false, "100 holding", "battery full"},
      {"CH0B 02", "", true, 50, false, "50 holding",
       "charging inhibited by CH0B 02"},
      {"CH0C 02", "", true, 50, false, "50 holding",
       "charging inhibited by CH0C 02"},
      {"CHTE 01 00 00 00", "", true, 50, false, "50 holding",
       "charging inhibited by CHTE 01000000"},
      {"CHIE 08", "CHIE", true, 50, false, "49.88 draining",
       "adapter cut off by CHIE 08"},
      {"CH0J 01, CH0B 02", "CH0J", true, 50, false, "49.88 draining",
       "adapter cut off by CH0J 01"},
      {"", "", false, 0.1, false, "0 draining", "adapter unplugged"},
      {kLimiter, "", true, 70, false, "70.4 charging",
       "up to the firmware limit 80 %"},
      {kLimiter, "", true, 79.8, false, "80 holding held",
       "up to the firmware limit 80 %"},
      {kLimiter, "", true, 78, true, "78 holding held",
       "firmware limit 80 %, resumes at 75 %"},
      {kLimiter, "", true, 75, true, "75.4 charging",
       "firmware limit 80 %, resumes at 75 %"},
      {"bfF0 00, bfD0 50 00 00 00", "", true, 80, true, "80.4 charging",
       "adapter supplying power"},
      {"bfF0 02, bfD0 c8 00 00 00", "", true, 99.8, false, "100 holding held",
       "up to the firmware limit 100 %"},
      // Without bfE0 charging resumes below bfD0.
      {"bfF0 02, bfD0 50 00 00 00", "", true, 79, true, "79.4 charging",
       "firmware limit 80 %, resumes at 80 %"},
  };
  for (const auto& c : kCases) {
    const std::string name = std::string(c.keys) + " at " +
                             std::to_string(c.level) + (c.held ? " held" : "");
    const SMCModel smc(KeysFromText(c.keys));
    const ChargeControls controls =
        ReadChargeControls(smc, c.adapter_key, c.plugged);
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
