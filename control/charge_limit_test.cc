#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "control/fake_smc_access.h"
#include "control/power_controller.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;
using Bytes = std::vector<uint8_t>;
using Log = std::vector<std::string>;

// A controller probed over `keys`, with the probe's reads left out of the log.
struct Machine {
  explicit Machine(FakeSMCAccess::KeyTable keys)
      : smc(std::make_shared<FakeSMCAccess>(std::move(keys))), controller(smc) {
    smc->clearLog();
  }
  std::shared_ptr<FakeSMCAccess> smc;
  NativePowerController controller;
};

FakeSMCAccess::KeyTable FirmwareKeys(Bytes limiter, Bytes upper, Bytes lower) {
  FakeSMCAccess::KeyTable keys = FakeMachineKeys(Mode::firmware);
  keys["bfF0"] = std::move(limiter);
  keys["bfD0"] = std::move(upper);
  keys["bfE0"] = std::move(lower);
  return keys;
}

FakeSMCAccess::KeyTable LegacyKeys(Mode mode, bool inhibited) {
  FakeSMCAccess::KeyTable keys = FakeMachineKeys(mode);
  if (inhibited && mode == Mode::legacyPair) {
    keys["CH0B"] = keys["CH0C"] = {0x02};
  }
  if (inhibited && mode == Mode::legacySingle) keys["CHTE"] = {1, 0, 0, 0};
  return keys;
}

Log Concat(std::initializer_list<Log> parts) {
  Log all;
  for (const Log& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Log kFirmwareReads = {"read bfF0", "read bfD0", "read bfE0"};
const Log kPairReads = {"read CH0B", "read CH0C"};

TEST(ApplyLimitTest, RefusesLimitsOutOfRangeWithoutSMCAccess) {
  const int64_t limits[] = {29,
                            101,
                            0,
                            -1,
                            std::numeric_limits<int64_t>::min(),
                            std::numeric_limits<int64_t>::max()};
  for (Mode mode : {Mode::firmware, Mode::legacyPair, Mode::unsupported}) {
    Machine machine(FakeMachineKeys(mode));
    for (int64_t limit : limits) {
      EXPECT_EQ("Charge limit must be between 30 and 100", ControlErrorOf([&] {
                  machine.controller.applyLimit(limit, 50);
                }))
          << limit;
    }
    EXPECT_TRUE(machine.smc->log().empty());
  }
}

TEST(ApplyLimitTest, FirmwareWritesSwitchOffThresholdsSwitchOn) {
  static const struct {
    const char* name;
    Bytes limiter, upper, lower;
    int64_t limit;
    Log changes;
  } cases[] = {
      {"from no limit",
       {0x00},
       {100, 0, 0, 0},
       {99, 0, 0, 0},
       80,
       {"read bfF0", "read bfD0", "write bfD0 50 00 00 00", "read bfE0",
        "write bfE0 4f 00 00 00", "read bfF0", "write bfF0 02"}},
      {"from limit 90",
       {0x02},
       {90, 0, 0, 0},
       {89, 0, 0, 0},
       80,
       {"read bfF0", "write bfF0 00", "read bfD0", "write bfD0 50 00 00 00",
        "read bfE0", "write bfE0 4f 00 00 00", "read bfF0", "write bfF0 02"}},
      {"lowest limit",
       {0x00},
       {100, 0, 0, 0},
       {99, 0, 0, 0},
       30,
       {"read bfF0", "read bfD0", "write bfD0 1e 00 00 00", "read bfE0",
        "write bfE0 1d 00 00 00", "read bfF0", "write bfF0 02"}},
      {"switch off, thresholds right",
       {0x00},
       {80, 0, 0, 0},
       {79, 0, 0, 0},
       80,
       {"read bfF0", "read bfD0", "read bfE0", "read bfF0", "write bfF0 02"}},
      {"unknown switch value",
       {0x07},
       {80, 0, 0, 0},
       {79, 0, 0, 0},
       80,
       {"read bfF0", "write bfF0 00", "read bfD0", "read bfE0", "read bfF0",
        "write bfF0 02"}},
      {"already in force", {0x02}, {80, 0, 0, 0}, {79, 0, 0, 0}, 80, {}},
  };
  for (const auto& c : cases) {
    Machine machine(FirmwareKeys(c.limiter, c.upper, c.lower));
    machine.controller.applyLimit(c.limit, std::nullopt);
    EXPECT_EQ(Concat({kFirmwareReads, kFirmwareReads, c.changes}),
              machine.smc->log())
        << c.name;
    EXPECT_EQ(Bytes{0x02}, machine.smc->value("bfF0")) << c.name;

    machine.smc->clearLog();
    machine.controller.applyLimit(c.limit, std::nullopt);
    EXPECT_EQ(Concat({kFirmwareReads, kFirmwareReads}), machine.smc->log())
        << c.name << ", repeated";
  }
}

TEST(ApplyLimitTest, FirmwareRollsBackWhatItReadWhenAChangeFails) {
  static const struct {
    const char* name;
    std::function<void(FakeSMCAccess&)> fault;
    std::string error;
    Log writes;
  } cases[] = {
      {"bfE0 write does not stick",
       [](FakeSMCAccess& smc) { smc.dropWrites("bfE0"); },
       "SMC write verification failed for bfE0",
       {"write bfF0 00", "write bfD0 50 00 00 00", "write bfE0 4f 00 00 00",
        "write bfF0 00", "write bfD0 5a 00 00 00", "write bfE0 59 00 00 00",
        "write bfF0 02"}},
      {"bfD0 write refused, and refused again in the rollback",
       [](FakeSMCAccess& smc) { smc.failWrite("bfD0", "refused"); },
       "refused",
       {"write bfF0 00", "write bfD0 50 00 00 00", "write bfF0 00",
        "write bfD0 5a 00 00 00", "write bfE0 59 00 00 00", "write bfF0 02"}},
      {"first write fails",
       [](FakeSMCAccess& smc) { smc.failWrite("bfF0", "switch stuck"); },
       "switch stuck",
       {"write bfF0 00", "write bfF0 00", "write bfD0 5a 00 00 00",
        "write bfE0 59 00 00 00", "write bfF0 02"}},
  };
  for (const auto& c : cases) {
    Machine machine(FirmwareKeys({0x02}, {90, 0, 0, 0}, {89, 0, 0, 0}));
    c.fault(*machine.smc);
    EXPECT_EQ(c.error, ControlErrorOf([&] {
                machine.controller.applyLimit(80, std::nullopt);
              }))
        << c.name;
    EXPECT_EQ(c.writes, machine.smc->writes()) << c.name;
    EXPECT_EQ(FirmwareKeys({0x02}, {90, 0, 0, 0}, {89, 0, 0, 0}),
              machine.smc->keys())
        << c.name;
  }
}

TEST(ApplyLimitTest, FirmwareRollbackRethrowsForeignErrorsUnchanged) {
  Machine machine(FirmwareKeys({0x00}, {100, 0, 0, 0}, {99, 0, 0, 0}));
  machine.smc->failWrite(
      "bfD0", std::make_exception_ptr(std::runtime_error("link down")));
  EXPECT_THROW(
      {
        try {
          machine.controller.applyLimit(80, std::nullopt);
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ("link down", error.what());
          throw;
        }
      },
      std::runtime_error);
  EXPECT_EQ(
      (Log{"write bfD0 50 00 00 00", "write bfF0 00", "write bfD0 64 00 00 00",
           "write bfE0 63 00 00 00", "write bfF0 00"}),
      machine.smc->writes());
}

TEST(ApplyLimitTest, LimitOf100RestoresAndKeepsTheThresholds) {
  Machine machine(FirmwareKeys({0x02}, {80, 0, 0, 0}, {79, 0, 0, 0}));
  machine.controller.applyLimit(100, std::nullopt);
  EXPECT_EQ(
      Concat({kFirmwareReads, kFirmwareReads, {"read bfF0", "write bfF0 00"}}),
      machine.smc->log());
  EXPECT_EQ(FirmwareKeys({0x00}, {80, 0, 0, 0}, {79, 0, 0, 0}),
            machine.smc->keys());
}

TEST(ApplyLimitTest, LegacyModesChargeOnlyBelowTheLimit) {
  static const struct {
    Mode mode;
    bool inhibited_before;
    int64_t percentage;
    Log writes;
  } cases[] = {
      {Mode::legacyPair, true, 79, {"write CH0B 00", "write CH0C 00"}},
      {Mode::legacyPair, false, 80, {"write CH0B 02", "write CH0C 02"}},
      {Mode::legacyPair, false, 100, {"write CH0B 02", "write CH0C 02"}},
      {Mode::legacyPair, true, 80, {}},
      {Mode::legacyPair, false, 0, {}},
      {Mode::legacySingle, true, 79, {"write CHTE 00 00 00 00"}},
      {Mode::legacySingle, false, 80, {"write CHTE 01 00 00 00"}},
      {Mode::legacySingle, false, 100, {"write CHTE 01 00 00 00"}},
      {Mode::legacySingle, false, 79, {}},
  };
  for (const auto& c : cases) {
    Machine machine(LegacyKeys(c.mode, c.inhibited_before));
    machine.controller.applyLimit(80, c.percentage);
    EXPECT_EQ(c.writes, machine.smc->writes())
        << NativePowerController::RawValue(c.mode) << " " << c.percentage;
  }
}

TEST(ApplyLimitTest, LegacyPairReadsTheOldValueBeforeEachKey) {
  Machine machine(LegacyKeys(Mode::legacyPair, false));
  machine.controller.applyLimit(80, 85);
  EXPECT_EQ(Concat({kPairReads,
                    {"read CH0B", "read CH0B", "write CH0B 02", "read CH0C",
                     "write CH0C 02"}}),
            machine.smc->log());
}

TEST(ApplyLimitTest, LegacyModesWaitForAValidPercentageWithoutWriting) {
  const std::optional<int64_t> percentages[] = {std::nullopt, -1, 101};
  for (Mode mode : {Mode::legacyPair, Mode::legacySingle}) {
    for (std::optional<int64_t> percentage : percentages) {
      Machine machine(LegacyKeys(mode, false));
      EXPECT_EQ(
          "Waiting for a valid battery percentage; hardware state was "
          "preserved",
          ControlErrorOf(
              [&] { machine.controller.applyLimit(80, percentage); }))
          << NativePowerController::RawValue(mode) << " "
          << percentage.value_or(-999);
      EXPECT_TRUE(machine.smc->writes().empty());
    }
  }
}

TEST(ApplyLimitTest, LegacyPairPutsCH0BBackOnlyWhenCH0CFails) {
  static const struct {
    const char* name;
    Bytes ch0b_before;
    std::function<void(FakeSMCAccess&)> fault;
    std::string error;
    Log writes;
  } cases[] = {
      {"CH0C does not stick",
       {0x00},
       [](FakeSMCAccess& smc) { smc.dropWrites("CH0C"); },
       "SMC write verification failed for CH0C",
       {"write CH0B 02", "write CH0C 02", "write CH0B 00"}},
      {"CH0C does not stick, CH0B unchanged and its rollback refused",
       {0x02},
       [](FakeSMCAccess& smc) {
         smc.dropWrites("CH0C");
         smc.failWrite("CH0B", "CH0B refused");
       },
       "SMC write verification failed for CH0C",
       {"write CH0C 02", "write CH0B 02"}},
      {"CH0B refused: nothing to undo",
       {0x00},
       [](FakeSMCAccess& smc) { smc.failWrite("CH0B", "CH0B refused"); },
       "CH0B refused",
       {"write CH0B 02"}},
  };
  for (const auto& c : cases) {
    Machine machine(LegacyKeys(Mode::legacyPair, false));
    machine.smc->set("CH0B", c.ch0b_before);
    c.fault(*machine.smc);
    EXPECT_EQ(c.error,
              ControlErrorOf([&] { machine.controller.applyLimit(80, 90); }))
        << c.name;
    EXPECT_EQ(c.writes, machine.smc->writes()) << c.name;
    EXPECT_EQ(c.ch0b_before, machine.smc->value("CH0B")) << c.name;
  }
}

TEST(ApplyLimitTest, UnsupportedFailsBeforeTouchingTheSMC) {
  Machine machine(FakeMachineKeys(Mode::unsupported));
  std::string error =
      ControlErrorOf([&] { machine.controller.applyLimit(80, 50); });
  EXPECT_TRUE(error.starts_with("Charging control unavailable. bfF0: "))
      << error;
  EXPECT_TRUE(machine.smc->log().empty());
}

TEST(RestoreChargingTest, HandsChargingBackInEveryMode) {
  static const struct {
    Mode mode;
    Log writes;
  } cases[] = {
      {Mode::firmware, {"write bfF0 00"}},
      {Mode::legacyPair, {"write CH0B 00", "write CH0C 00"}},
      {Mode::legacySingle, {"write CHTE 00 00 00 00"}},
  };
  for (const auto& c : cases) {
    FakeSMCAccess::KeyTable keys = LegacyKeys(c.mode, true);
    if (c.mode == Mode::firmware) keys["bfF0"] = {0x02};
    Machine machine(keys);
    machine.controller.restoreCharging();
    EXPECT_EQ(c.writes, machine.smc->writes())
        << NativePowerController::RawValue(c.mode);
    EXPECT_EQ(FakeMachineKeys(c.mode), machine.smc->keys())
        << NativePowerController::RawValue(c.mode);

    machine.smc->clearLog();
    machine.controller.restoreCharging();
    EXPECT_TRUE(machine.smc->writes().empty())
        << NativePowerController::RawValue(c.mode) << ", repeated";
  }
}

TEST(RestoreChargingTest, UnsupportedFailsWithoutSMCAccess) {
  Machine machine(FakeMachineKeys(Mode::unsupported));
  std::string error =
      ControlErrorOf([&] { machine.controller.restoreCharging(); });
  EXPECT_TRUE(error.starts_with("Charging control unavailable. ")) << error;
  EXPECT_TRUE(machine.smc->log().empty());
}

}  // namespace
}  // namespace ampervale
