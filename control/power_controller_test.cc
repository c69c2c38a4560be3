#include "control/power_controller.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "control/fake_smc_access.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;
using Log = std::vector<std::string>;

TEST(PowerModeTest, RawValuesMatchExactly) {
  static const struct {
    const char* raw;
    std::optional<Mode> mode;
  } cases[] = {
      {"firmware", Mode::firmware},         {"legacyPair", Mode::legacyPair},
      {"legacySingle", Mode::legacySingle}, {"unsupported", Mode::unsupported},
      {"Firmware", std::nullopt},           {"legacy-pair", std::nullopt},
      {"firmware ", std::nullopt},          {"", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.mode, NativePowerController::ModeFromString(c.raw)) << c.raw;
    if (c.mode) {
      EXPECT_EQ(c.raw, NativePowerController::RawValue(*c.mode)) << c.raw;
    }
  }
}

TEST(CapabilityProbeTest, ChoosesTheFirstModeAndAdapterKeyWithTheirWidths) {
  static const struct {
    const char* keys;
    Mode mode;
    std::optional<std::string> adapter;
  } cases[] = {
      {"bfF0 00, bfD0 00 00 00 00, bfE0 00 00 00 00, CH0B 00, CH0C 00, "
       "CHTE 00 00 00 00, CH0I 00, CH0J 00, CHIE 00",
       Mode::firmware, "CH0I"},
      {"bfF0 00, bfD0 00 00 00 00, CH0B 00, CH0C 00, CH0J 00, CHIE 00",
       Mode::legacyPair, "CH0J"},
      {"bfF0 00 00, bfD0 00 00 00 00, bfE0 00 00 00 00, CH0B 00, "
       "CH0C 00 00 00 00, CHTE 00 00 00 00, CH0I 00 00, CHIE 00",
       Mode::legacySingle, "CHIE"},
      {"CHTE 00, CH0I 00 00, CHIE 00 00, ACLC 00", Mode::unsupported,
       std::nullopt},
  };
  for (const auto& c : cases) {
    NativePowerController controller(
        std::make_shared<FakeSMCAccess>(KeysFromText(c.keys)));
    EXPECT_EQ(c.mode, controller.mode()) << c.keys;
    EXPECT_EQ(c.adapter, controller.adapterKey()) << c.keys;
  }
}

// The probe never throws: whatever a read throws becomes the key's text.
TEST(CapabilityProbeTest, ReadsEachKeyOnceInOrderAndDescribesIt) {
  auto smc = std::make_shared<FakeSMCAccess>(
      KeysFromText("bfF0 00, bfD0 00 00 00 00, bfE0 00 00, CH0C 00, "
                   "CHTE 00 00 00 00, CH0I 00 00, CHIE 00, ACLC 00"));
  smc->failRead("CH0C", "SMC CH0C command 5: request failed (SMC 1)");
  smc->failRead("CHIE", std::make_exception_ptr(std::runtime_error("gone")));
  smc->failRead("ACLC", std::make_exception_ptr(42));
  NativePowerController controller(smc);
  EXPECT_EQ(
      (Log{"read bfF0", "read bfD0", "read bfE0", "read CH0B", "read CH0C",
           "read CHTE", "read CH0I", "read CH0J", "read CHIE", "read ACLC"}),
      smc->log());
  EXPECT_EQ((std::map<std::string, std::string>{
                {"bfF0", "available (1 bytes)"},
                {"bfD0", "available (4 bytes)"},
                {"bfE0", "unexpected payload width 2, expected 4"},
                {"CH0B", MissingKeyText("CH0B")},
                {"CH0C", "SMC CH0C command 5: request failed (SMC 1)"},
                {"CHTE", "available (4 bytes)"},
                {"CH0I", "unexpected payload width 2, expected 1"},
                {"CH0J", MissingKeyText("CH0J")},
                {"CHIE", "gone"},
                {"ACLC", "SMC read failed"},
            }),
            controller.capabilityDiagnostics());
}

TEST(ValidateChargeSupportTest, StopsAtAKeyThatChangedWidth) {
  auto smc = std::make_shared<FakeSMCAccess>(FakeMachineKeys(Mode::firmware));
  NativePowerController controller(smc);
  smc->set("bfD0", {0, 0});
  smc->clearLog();
  EXPECT_EQ(
      "Charging key bfD0 changed payload width to 2, expected 4; hardware "
      "state was preserved",
      ControlErrorOf([&] { controller.applyLimit(80, std::nullopt); }));
  EXPECT_EQ((Log{"read bfF0", "read bfD0"}), smc->log());
}

TEST(ValidateChargeSupportTest, UnsupportedListsTheSixChargeKeysUnread) {
  auto smc = std::make_shared<FakeSMCAccess>(
      KeysFromText("bfD0 00 00 00 00, CH0B 00, CHTE 00, CHIE 00"));
  smc->failRead("bfE0", "SMC bfE0 command 5: request failed (SMC 1)");
  NativePowerController controller(smc);
  smc->clearLog();
  const std::string expected =
      "Charging control unavailable. "
      "bfF0: SMC bfF0 command 9: request failed (IOKit 0x00000000, SMC 132); "
      "bfD0: available (4 bytes); "
      "bfE0: SMC bfE0 command 5: request failed (SMC 1); "
      "CH0B: available (1 bytes); "
      "CH0C: SMC CH0C command 9: request failed (IOKit 0x00000000, SMC 132); "
      "CHTE: unexpected payload width 1, expected 4";
  EXPECT_EQ(expected,
            ControlErrorOf([&] { controller.validateChargeSupport(); }));
  EXPECT_EQ(expected, ControlErrorOf([&] { controller.applyLimit(80, 50); }));
  EXPECT_EQ(expected, ControlErrorOf([&] { controller.restoreCharging(); }));
  EXPECT_TRUE(smc->log().empty());
}

}  // namespace
}  // namespace ampervale
