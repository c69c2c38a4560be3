#include "control/power_controller.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "control/fake_smc_access.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;
using Log = std::vector<std::string>;

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
      KeysFromText("bfF0 00, bfD0 00 00 00 00, bfE0 00 00, "
                   "CHTE 00 00 00 00, CH0I 00 00, CHIE 00, ACLC 00"));
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
                {"CH0C", MissingKeyText("CH0C")},
                {"CHTE", "available (4 bytes)"},
                {"CH0I", "unexpected payload width 2, expected 1"},
                {"CH0J", MissingKeyText("CH0J")},
                {"CHIE", "gone"},
                {"ACLC", "SMC read failed"},
            }),
            controller.capabilityDiagnostics());
}

}  // namespace
}  // namespace ampervale
