#include "sim/physics.h"

#include <gtest/gtest.h>

namespace ampervale::sim {
namespace {

constexpr double kHour = 3600;

Battery Cell(double level) {
  return {.level = level,
          .charge_rate = 40,
          .drain_rate = 10,
          .firmware_holding = false};
}

ChargeControls Supplying() { return ChargeControls{}; }

ChargeControls CutOff() {
  ChargeControls controls;
  controls.cut_off_by = "CHIE 08";
  return controls;
}

ChargeControls FirmwareLimit(double limit, double resume,
                             bool cut_off = false) {
  ChargeControls controls = cut_off ? CutOff() : Supplying();
  controls.firmware_limit = limit;
  controls.firmware_resume = resume;
  return controls;
}

TEST(PhysicsTest, SingleSteps) {
  ChargeControls inhibited;
  inhibited.inhibited_by = "CH0B 02";
  ChargeControls unplugged;
  unplugged.adapter_connected = false;
  static const struct {
    const char* name;
    double level;
    ChargeControls controls;
    double seconds;
    double level_after;
    PowerState state_after;
  } cases[] = {
      {"charges at its rate", 50, Supplying(), kHour / 2, 70,
       PowerState::kCharging},
      {"stops at full", 95, Supplying(), kHour, 100, PowerState::kHolding},
      {"full stays full", 100, Supplying(), kHour, 100, PowerState::kHolding},
      {"inhibited holds", 50, inhibited, kHour, 50, PowerState::kHolding},
      {"drains while cut off", 50, CutOff(), kHour, 40, PowerState::kDraining},
      {"drains while unplugged", 50, unplugged, kHour, 40,
       PowerState::kDraining},
      {"drains to empty and no further", 5, CutOff(), kHour, 0,
       PowerState::kDraining},
      {"cut off beats inhibit", 50, CutOff(), kHour, 40, PowerState::kDraining},
      {"charges up to the firmware limit", 70, FirmwareLimit(80, 79), kHour, 80,
       PowerState::kHolding},
      {"above the firmware limit holds", 90, FirmwareLimit(80, 79), kHour, 90,
       PowerState::kHolding},
      {"no time, no change", 50, Supplying(), 0, 50, PowerState::kCharging},
  };
  for (const auto& c : cases) {
    Battery battery = Cell(c.level);
    EXPECT_EQ(c.state_after, Advance(battery, c.controls, c.seconds)) << c.name;
    EXPECT_DOUBLE_EQ(c.level_after, battery.level) << c.name;
  }
}

TEST(PhysicsTest, FirmwareLimitHoldsUntilTheLevelFallsToTheResumeLevel) {
  Battery battery = Cell(78);
  static const struct {
    bool cut_off;
    double seconds;
    double level_after;
    PowerState state_after;
  } steps[] = {
      {false, kHour, 80, PowerState::kHolding},  // reaches the limit
      {true, 180, 79.5, PowerState::kDraining},
      {false, kHour, 79.5, PowerState::kHolding},  // above bfE0: no charge
      {true, 180, 79, PowerState::kDraining},      // falls to bfE0
      {false, 45, 79.5, PowerState::kCharging},    // charges again
      {false, kHour, 80, PowerState::kHolding},
  };
  int step = 0;
  for (const auto& s : steps) {
    PowerState state =
        Advance(battery, FirmwareLimit(80, 79, s.cut_off), s.seconds);
    EXPECT_EQ(s.state_after, state) << "step " << step;
    EXPECT_DOUBLE_EQ(s.level_after, battery.level) << "step " << step;
    ++step;
  }
}

TEST(PhysicsTest, SwitchingTheLimiterOffLetsTheBatteryCharge) {
  Battery battery = Cell(80);
  Advance(battery, FirmwareLimit(80, 79), kHour);
  EXPECT_EQ(PowerState::kCharging, Advance(battery, Supplying(), kHour / 4));
  EXPECT_DOUBLE_EQ(90, battery.level);
}

TEST(PhysicsTest, ReadsTheControlsFromTheKeys) {
  using Keys = SMCModel::KeyTable;
  static const struct {
    const char* name;
    Keys keys;
    std::string adapter_key;
    std::string cut_off_by;
    std::string inhibited_by;
    std::optional<double> limit;
    double resume;
  } cases[] = {
      {"nothing set", {{"CHIE", {0x00}}}, "CHIE", "", "", {}, 100},
      {"CHIE 08", {{"CHIE", {0x08}}}, "CHIE", "CHIE 08", "", {}, 100},
      {"CHIE 01 is not CHIE's cut-off",
       {{"CHIE", {0x01}}},
       "CHIE",
       "",
       "",
       {},
       100},
      {"CH0I 01", {{"CH0I", {0x01}}}, "CH0I", "CH0I 01", "", {}, 100},
      {"CH0J 01", {{"CH0J", {0x01}}}, "CH0J", "CH0J 01", "", {}, 100},
      {"another machine's adapter key",
       {{"CH0I", {0x01}}},
       "CHIE",
       "",
       "",
       {},
       100},
      {"CH0B 02", {{"CH0B", {0x02}}}, "", "", "CH0B 02", {}, 100},
      {"CH0C 02", {{"CH0C", {0x02}}}, "", "", "CH0C 02", {}, 100},
      {"CHTE 01",
       {{"CHTE", {0x01, 0, 0, 0}}},
       "",
       "",
       "CHTE 01000000",
       {},
       100},
      {"CHTE 00", {{"CHTE", {0, 0, 0, 0}}}, "", "", "", {}, 100},
      {"firmware limiter",
       {{"bfF0", {0x02}}, {"bfD0", {0x50, 0, 0, 0}}, {"bfE0", {0x4F, 0, 0, 0}}},
       "",
       "",
       "",
       80,
       79},
      {"limiter off",
       {{"bfF0", {0x00}}, {"bfD0", {0x50, 0, 0, 0}}, {"bfE0", {0x4F, 0, 0, 0}}},
       "",
       "",
       "",
       {},
       100},
      {"limiter without bfD0", {{"bfF0", {0x02}}}, "", "", "", {}, 100},
      {"resume above the limit",
       {{"bfF0", {0x02}}, {"bfD0", {0x50, 0, 0, 0}}, {"bfE0", {0x5A, 0, 0, 0}}},
       "",
       "",
       "",
       80,
       80},
  };
  for (const auto& c : cases) {
    SMCModel model(c.keys);
    ChargeControls controls = ReadChargeControls(model, c.adapter_key, true);
    EXPECT_EQ(c.cut_off_by, controls.cut_off_by) << c.name;
    EXPECT_EQ(c.inhibited_by, controls.inhibited_by) << c.name;
    EXPECT_EQ(c.limit, controls.firmware_limit) << c.name;
    EXPECT_EQ(c.resume, controls.firmware_resume) << c.name;
  }
}

TEST(PhysicsTest, LedFollowsACLC) {
  using Bytes = std::optional<std::vector<uint8_t>>;
  auto aclc = [](std::vector<uint8_t> value) {
    return Bytes(std::move(value));
  };
  static const struct {
    Bytes aclc;
    PowerState state;
    bool connected;
    std::string colour;
  } cases[] = {
      {aclc({0x00}), PowerState::kCharging, true, "amber"},
      {aclc({0x00}), PowerState::kHolding, true, "green"},
      {aclc({0x00}), PowerState::kDraining, true, "green"},
      {std::nullopt, PowerState::kCharging, true, "amber"},
      {aclc({0x01}), PowerState::kCharging, true, "off"},
      {aclc({0x03}), PowerState::kCharging, true, "green"},
      {aclc({0x04}), PowerState::kHolding, true, "amber"},
      {aclc({0x06}), PowerState::kHolding, true, "slow-blink amber"},
      {aclc({0x07}), PowerState::kHolding, true, "fast-blink amber"},
      {aclc({0x25}), PowerState::kHolding, true, "blink amber/off"},
      {aclc({0x02}), PowerState::kHolding, true, "unknown (ACLC 02)"},
      {aclc({0x03, 0x00}), PowerState::kHolding, true, "unknown (ACLC 0300)"},
      {aclc({0x03}), PowerState::kDraining, false, "off"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.colour, LedColour(c.aclc, c.state, c.connected))
        << (c.aclc ? static_cast<int>((*c.aclc)[0]) : -1);
  }
}

TEST(PhysicsTest, TimeScaleMultipliesRealTime) {
  double real = 100;
  SimulatedClock clock([&] { return real; }, 600);
  real = 106;
  double simulated = clock.Elapsed();
  EXPECT_DOUBLE_EQ(kHour, simulated);
  Battery battery = Cell(50);
  Advance(battery, Supplying(), simulated);
  EXPECT_DOUBLE_EQ(90, battery.level);
  EXPECT_DOUBLE_EQ(0, clock.Elapsed());
  real = 105;  // a clock that goes back never moves time backwards
  EXPECT_DOUBLE_EQ(0, clock.Elapsed());
}

}  // namespace
}  // namespace ampervale::sim
