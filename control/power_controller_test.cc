#include "control/power_controller.h"

#include <gtest/gtest.h>

#include "control/fake_smc_access.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;

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

}  // namespace
}  // namespace ampervale
