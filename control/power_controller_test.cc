#include "control/power_controller.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "control/fake_smc_access.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;
using Bytes = std::vector<uint8_t>;

const Bytes kOne = {0x00};
const Bytes kTwo = {0x00, 0x00};
const Bytes kFour = {0x00, 0x00, 0x00, 0x00};

const char* const kProbeOrder[] = {"bfF0", "bfD0", "bfE0", "CH0B", "CH0C",
                                   "CHTE", "CH0I", "CH0J", "CHIE", "ACLC"};

TEST(PowerModeTest, ParsesOnlyExactRawValues) {
  static const struct {
    const char* raw;
    std::optional<Mode> mode;
  } cases[] = {
      {"firmware", Mode::firmware},
      {"legacyPair", Mode::legacyPair},
      {"legacySingle", Mode::legacySingle},
      {"unsupported", Mode::unsupported},
      {"Firmware", std::nullopt},
      {"legacypair", std::nullopt},
      {"firmware ", std::nullopt},
      {"legacy-pair", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.mode, NativePowerController::ModeFromString(c.raw)) << c.raw;
    if (c.mode) {
      EXPECT_EQ(c.raw, NativePowerController::RawValue(*c.mode)) << c.raw;
    }
  }
}

TEST(CapabilityProbeTest, ChoosesTheFirstModeWhoseKeysAllHaveTheirWidths) {
  static const struct {
    const char* name;
    FakeSMCAccess::KeyTable keys;
    Mode mode;
  } cases[] = {
      {"everything",
       {{"bfF0", kOne},
        {"bfD0", kFour},
        {"bfE0", kFour},
        {"CH0B", kOne},
        {"CH0C", kOne},
        {"CHTE", kFour}},
       Mode::firmware},
      {"bfE0 missing",
       {{"bfF0", kOne}, {"bfD0", kFour}, {"CH0B", kOne}, {"CH0C", kOne}},
       Mode::legacyPair},
      {"bfF0 two bytes",
       {{"bfF0", kTwo}, {"bfD0", kFour}, {"bfE0", kFour}, {"CHTE", kFour}},
       Mode::legacySingle},
      {"CH0C missing", {{"CH0B", kOne}, {"CHTE", kFour}}, Mode::legacySingle},
      {"CH0C four bytes",
       {{"CH0B", kOne}, {"CH0C", kFour}, {"CHTE", kFour}},
       Mode::legacySingle},
      {"CHTE one byte", {{"CHTE", kOne}}, Mode::unsupported},
      {"only adapter and LED",
       {{"CHIE", kOne}, {"ACLC", kOne}},
       Mode::unsupported},
      {"nothing", {}, Mode::unsupported},
  };
  for (const auto& c : cases) {
    auto smc = std::make_shared<FakeSMCAccess>(c.keys);
    EXPECT_EQ(c.mode, NativePowerController(smc).mode()) << c.name;
  }
}

TEST(CapabilityProbeTest, ChoosesTheFirstOneByteAdapterKey) {
  static const struct {
    const char* name;
    FakeSMCAccess::KeyTable keys;
    std::optional<std::string> adapter;
  } cases[] = {
      {"all three", {{"CH0I", kOne}, {"CH0J", kOne}, {"CHIE", kOne}}, "CH0I"},
      {"CH0I missing", {{"CH0J", kOne}, {"CHIE", kOne}}, "CH0J"},
      {"CH0I two bytes, CH0J missing",
       {{"CH0I", kTwo}, {"CHIE", kOne}},
       "CHIE"},
      {"none one byte",
       {{"CH0I", kTwo}, {"CH0J", kFour}, {"CHIE", kTwo}},
       std::nullopt},
      {"nothing", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    auto smc = std::make_shared<FakeSMCAccess>(c.keys);
    EXPECT_EQ(c.adapter, NativePowerController(smc).adapterKey()) << c.name;
  }
}

TEST(CapabilityProbeTest, ReadsEachKeyOnceInOrderAndDescribesIt) {
  auto smc =
      std::make_shared<FakeSMCAccess>(FakeSMCAccess::KeyTable{{"bfF0", kOne},
                                                              {"bfD0", kFour},
                                                              {"bfE0", kTwo},
                                                              {"CH0C", kOne},
                                                              {"CHTE", kFour},
                                                              {"CH0I", kTwo},
                                                              {"CHIE", kOne},
                                                              {"ACLC", kOne}});
  smc->failRead("CH0C",
                "SMC CH0C command 5: request failed (IOKit "
                "0x00000000, SMC 1)");
  smc->failRead("CHIE", std::make_exception_ptr(std::runtime_error("gone")));
  smc->failRead("ACLC", std::make_exception_ptr(42));

  NativePowerController controller(smc);

  std::vector<std::string> reads;
  for (const char* key : kProbeOrder)
    reads.push_back(std::string("read ") + key);
  EXPECT_EQ(reads, smc->log());
  std::map<std::string, std::string> expected = {
      {"bfF0", "available (1 bytes)"},
      {"bfD0", "available (4 bytes)"},
      {"bfE0", "unexpected payload width 2, expected 4"},
      {"CH0B",
       "SMC CH0B command 9: request failed (IOKit 0x00000000, SMC "
       "132)"},
      {"CH0C", "SMC CH0C command 5: request failed (IOKit 0x00000000, SMC 1)"},
      {"CHTE", "available (4 bytes)"},
      {"CH0I", "unexpected payload width 2, expected 1"},
      {"CH0J",
       "SMC CH0J command 9: request failed (IOKit 0x00000000, SMC "
       "132)"},
      {"CHIE", "gone"},
      {"ACLC", "SMC read failed"},
  };
  EXPECT_EQ(expected, controller.capabilityDiagnostics());
  EXPECT_EQ(Mode::legacySingle, controller.mode());
  EXPECT_EQ(std::nullopt, controller.adapterKey());
}

TEST(CapabilityProbeTest, AnSMCThatAnswersNothingYieldsUnsupported) {
  auto smc = std::make_shared<FakeSMCAccess>();
  NativePowerController controller(smc);
  EXPECT_EQ(Mode::unsupported, controller.mode());
  EXPECT_EQ(std::nullopt, controller.adapterKey());
  ASSERT_EQ(10u, controller.capabilityDiagnostics().size());
  for (const char* key : kProbeOrder) {
    EXPECT_EQ(MissingKeyText(key), controller.capabilityDiagnostics().at(key))
        << key;
  }
}

TEST(ValidateChargeSupportTest, ReadsTheModeKeysInOrderAndWritesNothing) {
  static const struct {
    Mode mode;
    std::vector<std::string> reads;
  } cases[] = {
      {Mode::firmware, {"read bfF0", "read bfD0", "read bfE0"}},
      {Mode::legacyPair, {"read CH0B", "read CH0C"}},
      {Mode::legacySingle, {"read CHTE"}},
  };
  for (const auto& c : cases) {
    auto smc = std::make_shared<FakeSMCAccess>(FakeMachineKeys(c.mode));
    NativePowerController controller(smc);
    smc->clearLog();
    EXPECT_EQ("", ControlErrorOf([&] { controller.validateChargeSupport(); }))
        << NativePowerController::RawValue(c.mode);
    EXPECT_EQ(c.reads, smc->log()) << NativePowerController::RawValue(c.mode);
  }
}

TEST(ValidateChargeSupportTest, StopsAtTheFirstKeyThatChangedWidth) {
  auto smc = std::make_shared<FakeSMCAccess>(FakeMachineKeys(Mode::firmware));
  smc->changeAfterReads("bfD0", 1, kTwo);
  NativePowerController controller(smc);
  smc->clearLog();
  EXPECT_EQ(
      "Charging key bfD0 changed payload width to 2, expected 4; hardware "
      "state was preserved",
      ControlErrorOf([&] { controller.validateChargeSupport(); }));
  EXPECT_EQ((std::vector<std::string>{"read bfF0", "read bfD0"}), smc->log());
}

TEST(ValidateChargeSupportTest, PassesReadFailuresThroughUnchanged) {
  auto smc = std::make_shared<FakeSMCAccess>(FakeMachineKeys(Mode::legacyPair));
  NativePowerController controller(smc);
  smc->erase("CH0B");
  smc->clearLog();
  EXPECT_EQ(MissingKeyText("CH0B"),
            ControlErrorOf([&] { controller.validateChargeSupport(); }));
  EXPECT_EQ(std::vector<std::string>{"read CH0B"}, smc->log());
}

TEST(ValidateChargeSupportTest, UnsupportedListsTheSixChargeKeysUnread) {
  auto smc = std::make_shared<FakeSMCAccess>(FakeSMCAccess::KeyTable{
      {"bfD0", kFour}, {"CH0B", kOne}, {"CHTE", kOne}, {"CHIE", kOne}});
  smc->failRead("bfE0",
                "SMC bfE0 command 5: request failed (IOKit "
                "0x00000000, SMC 1)");
  NativePowerController controller(smc);
  smc->clearLog();
  EXPECT_EQ(
      "Charging control unavailable. "
      "bfF0: SMC bfF0 command 9: request failed (IOKit 0x00000000, SMC 132); "
      "bfD0: available (4 bytes); "
      "bfE0: SMC bfE0 command 5: request failed (IOKit 0x00000000, SMC 1); "
      "CH0B: available (1 bytes); "
      "CH0C: SMC CH0C command 9: request failed (IOKit 0x00000000, SMC 132); "
      "CHTE: unexpected payload width 1, expected 4",
      ControlErrorOf([&] { controller.validateChargeSupport(); }));
  EXPECT_TRUE(smc->log().empty());
}

}  // namespace
}  // namespace ampervale
