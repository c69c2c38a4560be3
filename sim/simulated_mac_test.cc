#include "sim/simulated_mac.h"

#include <gtest/gtest.h>

#include "smc/smc_packet.h"

namespace ampervale::sim {
namespace {

MachineDescription Firmware(double level) {
  MachineDescription machine = BuiltInMachine("firmware");
  machine.max_capacity = 4500;
  machine.battery.level = level;
  return machine;
}

Fault Capacity(const std::string& property, nlohmann::json value) {
  Fault fault;
  fault.kind = FaultKind::kCapacity;
  fault.property = property;
  fault.value = std::move(value);
  return fault;
}

TEST(SimulatedMacTest, BatteryProperties) {
  using Tag = PropertyAnswer::Tag;
  static const struct {
    const char* name;
    std::optional<Fault> fault;
    std::string property;
    Tag tag;
    int64_t integer;
    double real;
  } cases[] = {
      {"current follows the level", std::nullopt, "CurrentCapacity",
       PropertyAnswer::kInteger, 3600, 0},
      {"maximum", std::nullopt, "MaxCapacity", PropertyAnswer::kInteger, 4500,
       0},
      {"unknown property", std::nullopt, "DesignCapacity",
       PropertyAnswer::kMissing, 0, 0},
      {"missing", Capacity("MaxCapacity", nullptr), "MaxCapacity",
       PropertyAnswer::kMissing, 0, 0},
      {"not a number", Capacity("MaxCapacity", "text"), "MaxCapacity",
       PropertyAnswer::kNotNumber, 0, 0},
      {"zero", Capacity("MaxCapacity", 0), "MaxCapacity",
       PropertyAnswer::kInteger, 0, 0},
      {"negative", Capacity("CurrentCapacity", -5), "CurrentCapacity",
       PropertyAnswer::kInteger, -5, 0},
      {"real", Capacity("CurrentCapacity", 999.5), "CurrentCapacity",
       PropertyAnswer::kReal, 0, 999.5},
      {"fault on the other property", Capacity("MaxCapacity", 0),
       "CurrentCapacity", PropertyAnswer::kInteger, 3600, 0},
  };
  for (const auto& c : cases) {
    MachineDescription machine = Firmware(80);
    if (c.fault) machine.faults.push_back(*c.fault);
    SimulatedMac mac(machine);
    PropertyAnswer answer = mac.Property(c.property);
    EXPECT_EQ(c.tag, answer.tag) << c.name;
    EXPECT_EQ(c.integer, answer.integer) << c.name;
    EXPECT_EQ(c.real, answer.real) << c.name;
  }
}

TEST(SimulatedMacTest, BatteryService) {
  SimulatedMac mac(Firmware(50));
  EXPECT_TRUE(mac.BatteryServiceExists());
  Fault no_battery;
  no_battery.kind = FaultKind::kNoBattery;
  mac.smc().faults().Add(no_battery);
  EXPECT_FALSE(mac.BatteryServiceExists());
  MachineDescription without = Firmware(50);
  without.battery_present = false;
  SimulatedMac batteryless(without);
  EXPECT_FALSE(batteryless.BatteryServiceExists());
  EXPECT_EQ(PowerState::kNoBattery, batteryless.state());
}

TEST(SimulatedMacTest, KeysDriveTheBatteryAndStateChangesAreNoted) {
  SimulatedMac mac(Firmware(78));
  mac.smc().SetValue("bfD0", {0x50, 0, 0, 0});
  mac.smc().SetValue("bfE0", {0x4F, 0, 0, 0});
  mac.smc().SetValue("bfF0", {0x02});
  mac.Advance(3600);
  EXPECT_EQ(80, mac.battery().level);
  EXPECT_EQ("holding", PowerStateName(mac.state()));
  EXPECT_EQ("green", mac.Led());
  mac.smc().SetValue("CHIE", {0x08});
  mac.Advance(360);
  EXPECT_DOUBLE_EQ(78.5, mac.battery().level);
  ASSERT_EQ(2u, mac.events().size());
  EXPECT_EQ("holding (firmware limit 80 %, resumes at 79 %)",
            mac.events()[0].text);
  EXPECT_EQ(3600, mac.events()[0].time);
  EXPECT_EQ("draining (adapter cut off by CHIE 08)", mac.events()[1].text);
  EXPECT_EQ(3960, mac.now());
}

TEST(SimulatedMacTest, StateDocument) {
  SimulatedMac mac(Firmware(80));
  mac.smc().set_now(5);
  NativeSMCPacket write("ACLC", kSMCWriteKey, 1, {0x04});
  mac.smc().Answer(write.bytes);
  nlohmann::json state = mac.StateJson();
  EXPECT_EQ("firmware", state["machine"]);
  EXPECT_EQ(80, state["battery"]["percentage"]);
  EXPECT_EQ(3600, state["battery"]["currentCapacity"]);
  EXPECT_EQ("charging", state["power"]);
  EXPECT_EQ("amber", state["led"]);
  EXPECT_EQ("CHIE", state["adapter"]["key"]);
  EXPECT_EQ(true, state["adapter"]["supplying"]);
  EXPECT_EQ("04", state["keys"]["ACLC"]);
  EXPECT_EQ(nlohmann::json::parse(
                R"([{"time": 5.0, "key": "ACLC", "bytes": "04",
                     "stored": true}])"),
            state["writes"]);
}

TEST(SimulatedMacTest, ClockText) {
  EXPECT_EQ("00:00:00", ClockText(0));
  EXPECT_EQ("01:01:01", ClockText(3661.9));
  EXPECT_EQ("27:00:00", ClockText(27 * 3600));
}

}  // namespace
}  // namespace ampervale::sim
