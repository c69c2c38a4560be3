#include "sim/physics.h"

#include <gtest/gtest.h>

#include <sstream>

#include "sim/hex.h"
#include "sim/simulated_mac.h"

namespace ampervale::sim {
namespace {

constexpr double kHour = 3600;

// `keys` as "KEY=HEX KEY=HEX", set after the profile's own.
SimulatedMac Machine(const std::string& profile, double level,
                     const std::string& keys, bool unplugged = false) {
  MachineDescription machine = BuiltInMachine(profile);
  machine.battery.level = level;
  machine.battery.charge_rate = 40;
  machine.battery.drain_rate = 10;
  machine.adapter_connected = !unplugged;
  SimulatedMac mac(machine);
  std::istringstream settings(keys);
  for (std::string setting; settings >> setting;) {
    mac.smc().SetValue(setting.substr(0, 4), *ParseHex(setting.substr(5)));
  }
  return mac;
}

const char kLimit80[] = "bfD0=50000000 bfE0=4f000000 bfF0=02";

TEST(PhysicsTest, KeysDriveTheBattery) {
  using enum PowerState;
  static const struct {
    const char* name;
    const char* profile;
    const char* keys;
    bool unplugged;
    double level;
    double seconds;
    double level_after;
    PowerState state_after;
  } cases[] = {
      {"charges at its rate", "firmware", "", false, 50, kHour / 2, 70,
       kCharging},
      {"stops at full", "firmware", "", false, 95, kHour, 100, kHolding},
      {"unplugged drains", "firmware", "", true, 50, kHour, 40, kDraining},
      {"CHIE 08 cuts off", "firmware", "CHIE=08", false, 50, kHour, 40,
       kDraining},
      {"drains to empty, no further", "firmware", "CHIE=08", false, 5, kHour, 0,
       kDraining},
      {"CHIE 01 is not a cut-off", "firmware", "CHIE=01", false, 50, kHour / 2,
       70, kCharging},
      {"another machine's adapter key", "firmware", "CH0I=01", false, 50,
       kHour / 2, 70, kCharging},
      {"CH0I 01 cuts off", "legacy-pair", "CH0I=01", false, 50, kHour, 40,
       kDraining},
      {"CH0J 01 cuts off", "legacy-single", "CH0J=01", false, 50, kHour, 40,
       kDraining},
      {"CH0B 02 inhibits", "legacy-pair", "CH0B=02", false, 50, kHour, 50,
       kHolding},
      {"CHTE 01000000 inhibits", "legacy-single", "CHTE=01000000", false, 50,
       kHour, 50, kHolding},
      {"cut-off beats inhibit", "legacy-pair", "CH0I=01 CH0B=02", false, 50,
       kHour, 40, kDraining},
      {"charges up to the firmware limit", "firmware", kLimit80, false, 70,
       kHour, 80, kHolding},
      {"above the firmware limit holds", "firmware", kLimit80, false, 90, kHour,
       90, kHolding},
  };
  for (const auto& c : cases) {
    SimulatedMac mac = Machine(c.profile, c.level, c.keys, c.unplugged);
    mac.Advance(c.seconds);
    EXPECT_DOUBLE_EQ(c.level_after, mac.battery().level) << c.name;
    EXPECT_EQ(c.state_after, mac.state()) << c.name;
  }
}

TEST(PhysicsTest, FirmwareLimitHoldsUntilTheLevelFallsToTheResumeLevel) {
  SimulatedMac mac = Machine("firmware", 78, kLimit80);
  using enum PowerState;
  static const struct {
    uint8_t chie;  // 08 cuts the adapter off
    double seconds;
    double level_after;
    PowerState state_after;
  } steps[] = {
      {0x00, kHour, 80, kHolding},  // reaches bfD0
      {0x08, 180, 79.5, kDraining},
      {0x00, kHour, 79.5, kHolding},  // above bfE0: no charge
      {0x08, 180, 79, kDraining},     // falls to bfE0
      {0x00, 45, 79.5, kCharging},    // charges again
      {0x00, kHour, 80, kHolding},
  };
  int step = 0;
  for (const auto& s : steps) {
    mac.smc().SetValue("CHIE", {s.chie});
    mac.Advance(s.seconds);
    EXPECT_DOUBLE_EQ(s.level_after, mac.battery().level) << "step " << step;
    EXPECT_EQ(s.state_after, mac.state()) << "step " << step;
    ++step;
  }
  mac.smc().SetValue("bfF0", {0x00});  // the limiter off: charging resumes
  mac.Advance(kHour / 4);
  EXPECT_DOUBLE_EQ(90, mac.battery().level);
}

TEST(PhysicsTest, TimeScaleMultipliesRealTime) {
  double real = 100;
  SimulatedClock clock([&] { return real; }, 600);
  real = 106;
  EXPECT_DOUBLE_EQ(kHour, clock.Elapsed());
  EXPECT_DOUBLE_EQ(0, clock.Elapsed());
  real = 105;  // a clock that goes back never moves time backwards
  EXPECT_DOUBLE_EQ(0, clock.Elapsed());
}

}  // namespace
}  // namespace ampervale::sim
