#include <gtest/gtest.h>

#include "control/fake_smc_access.h"
#include "control/power_controller.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;

TEST(AdapterTest, ReadsAndWritesTheKeysOwnValues) {
  static const struct {
    const char* key;
    const char* before;
    bool enabled;  // what adapterEnabled() reports
    bool wanted;   // what setAdapter() is given
    const char* written;
  } cases[] = {
      {"CHIE", "CHIE 00", true, false, "CHIE 08"},
      {"CH0I", "CH0I 00", true, false, "CH0I 01"},
      {"CH0J", "CH0J 00", true, false, "CH0J 01"},
      {"CHIE", "CHIE 08", false, true, "CHIE 00"},
      {"CH0J", "CH0J 05", false, true, "CH0J 00"},
      {"CHIE", "CHIE 01", false, false, "CHIE 08"},
      {"CHIE", "CHIE 08", false, false, ""},
      {"CH0I", "CH0I 00", true, true, ""},
  };
  for (const auto& c : cases) {
    FakeMachine machine(Mode::firmware, c.before, c.key);
    EXPECT_EQ(c.enabled, machine.controller.adapterEnabled()) << c.before;
    machine.controller.setAdapter(c.wanted);
    EXPECT_EQ(c.written, machine.smc->writtenText()) << c.before;
  }
}

TEST(MagSafeLEDTest, WritesTheModesByteWhenItDiffers) {
  static const struct {
    const char* mode;
    const char* before;
    const char* written;
    const char* error = "";
  } cases[] = {
      {"off", "ACLC 00", "ACLC 01"},
      {"always-off", "ACLC 00", "ACLC 01"},
      {"green", "ACLC 00", "ACLC 03"},
      {"amber", "ACLC 00", "ACLC 04"},
      {"orange", "ACLC 00", "ACLC 04"},
      {"slow-blink-amber", "ACLC 00", "ACLC 06"},
      {"fast-blink-amber", "ACLC 00", "ACLC 07"},
      {"blink-amber-off", "ACLC 00", "ACLC 25"},
      {"system", "ACLC 04", "ACLC 00"},
      {"enable", "ACLC 00", ""},
      {"Amber", "ACLC 00", "", "Unsupported MagSafe mode"},
      {"", "ACLC 00", "", "Unsupported MagSafe mode"},
      {"green", "ACLC 00 00", "", "Unsupported ACLC payload width"},
  };
  for (const auto& c : cases) {
    FakeMachine machine(Mode::firmware, c.before);
    EXPECT_EQ(c.error,
              ControlErrorOf([&] { machine.controller.setLED(c.mode); }))
        << c.mode;
    EXPECT_EQ(c.written, machine.smc->writtenText()) << c.mode;
  }
}

}  // namespace
}  // namespace ampervale
