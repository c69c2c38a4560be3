#include "sim/watch.h"

#include <gtest/gtest.h>

#include "sim/simulated_mac.h"

namespace ampervale::sim {
namespace {

nlohmann::json StateAt(double level, const std::string& profile = "firmware") {
  MachineDescription machine = BuiltInMachine(profile);
  machine.battery.level = level;
  return SimulatedMac(machine).StateJson();
}

TEST(WatchTest, Conditions) {
  static const struct {
    double level;
    WaitCondition condition;
    bool met;
  } cases[] = {
      {50, {}, true},
      {50, {.power = "charging", .at_least = {}, .at_most = {}}, true},
      {50, {.power = "holding", .at_least = {}, .at_most = {}}, false},
      {80.9, {.power = {}, .at_least = 80, .at_most = {}}, true},
      {79.9, {.power = {}, .at_least = 80, .at_most = {}}, false},
      {70, {.power = {}, .at_least = {}, .at_most = 70}, true},
      {71, {.power = {}, .at_least = {}, .at_most = 70}, false},
      {100, {.power = "holding", .at_least = 100, .at_most = 100}, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.met, Meets(StateAt(c.level), c.condition)) << c.level;
  }
}

TEST(WatchTest, Summary) {
  EXPECT_EQ(
      "50 % charging (adapter supplying power); adapter CHIE 00, supplying "
      "power; LED amber (ACLC 00)",
      StateSummary(StateAt(50)));
  MachineDescription machine = BuiltInMachine("legacy-pair");
  machine.battery_present = false;
  machine.adapter_connected = false;
  EXPECT_EQ(
      "no battery service, no battery (the machine has no battery); adapter "
      "CH0I 00, unplugged; LED off (ACLC 00)",
      StateSummary(SimulatedMac(machine).StateJson()));
}

}  // namespace
}  // namespace ampervale::sim
