#include <gtest/gtest.h>

#include "control/fake_smc_access.h"
#include "control/power_controller.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;
using Bytes = std::vector<uint8_t>;
using Log = std::vector<std::string>;

struct Machine {
  explicit Machine(FakeSMCAccess::KeyTable keys)
      : smc(std::make_shared<FakeSMCAccess>(std::move(keys))), controller(smc) {
    smc->clearLog();
  }
  std::shared_ptr<FakeSMCAccess> smc;
  NativePowerController controller;
};

TEST(AdapterTest, WritesTheKeysOwnValueOnlyWhenItDiffers) {
  static const struct {
    const char* key;
    bool enabled;
    Bytes before;
    Log log;
  } cases[] = {
      {"CHIE", false, {0x00}, {"read CHIE", "write CHIE 08"}},
      {"CH0I", false, {0x00}, {"read CH0I", "write CH0I 01"}},
      {"CH0J", false, {0x00}, {"read CH0J", "write CH0J 01"}},
      {"CHIE", true, {0x08}, {"read CHIE", "write CHIE 00"}},
      {"CH0I", true, {0x01}, {"read CH0I", "write CH0I 00"}},
      {"CH0J", true, {0x05}, {"read CH0J", "write CH0J 00"}},
      {"CHIE", true, {0x00}, {"read CHIE"}},
      {"CH0I", false, {0x01}, {"read CH0I"}},
      {"CHIE", false, {0x08}, {"read CHIE"}},
      {"CHIE", false, {0x01}, {"read CHIE", "write CHIE 08"}},
  };
  for (const auto& c : cases) {
    Machine machine(FakeMachineKeys(Mode::firmware, c.key));
    machine.smc->set(c.key, c.before);
    machine.controller.setAdapter(c.enabled);
    EXPECT_EQ(c.log, machine.smc->log()) << c.key << " " << c.enabled;
  }
}

TEST(AdapterTest, IsEnabledOnlyWhenTheKeyHoldsTheSingleByteZero) {
  static const struct {
    Bytes value;
    bool enabled;
  } cases[] = {
      {{0x00}, true},
      {{0x01}, false},
      {{0x08}, false},
      {{0x00, 0x00}, false},
  };
  for (const auto& c : cases) {
    Machine machine(FakeMachineKeys(Mode::legacySingle, "CH0J"));
    machine.smc->set("CH0J", c.value);
    EXPECT_EQ(c.enabled, machine.controller.adapterEnabled())
        << testing::PrintToString(c.value);
    EXPECT_EQ(Log{"read CH0J"}, machine.smc->log());
  }
}

TEST(AdapterTest, WithoutAnAdapterKeyFailsWithoutSMCAccess) {
  Machine machine(FakeMachineKeys(Mode::firmware, ""));
  const char* kUnsupported =
      "Adapter power control is unsupported by this firmware";
  EXPECT_EQ(kUnsupported,
            ControlErrorOf([&] { machine.controller.adapterEnabled(); }));
  EXPECT_EQ(kUnsupported,
            ControlErrorOf([&] { machine.controller.setAdapter(true); }));
  EXPECT_EQ(kUnsupported,
            ControlErrorOf([&] { machine.controller.setAdapter(false); }));
  EXPECT_TRUE(machine.smc->log().empty());
}

TEST(MagSafeLEDTest, WritesEachModesByteAfterTwoReads) {
  static const struct {
    const char* mode;
    const char* written;
  } cases[] = {
      {"system", "write ACLC 00"},
      {"enable", "write ACLC 00"},
      {"off", "write ACLC 01"},
      {"always-off", "write ACLC 01"},
      {"green", "write ACLC 03"},
      {"amber", "write ACLC 04"},
      {"orange", "write ACLC 04"},
      {"slow-blink-amber", "write ACLC 06"},
      {"fast-blink-amber", "write ACLC 07"},
      {"blink-amber-off", "write ACLC 25"},
  };
  for (const auto& c : cases) {
    Machine machine(FakeMachineKeys(Mode::firmware));
    machine.smc->set("ACLC", {0xff});
    machine.controller.setLED(c.mode);
    EXPECT_EQ((Log{"read ACLC", "read ACLC", c.written}), machine.smc->log())
        << c.mode;

    machine.smc->clearLog();
    machine.controller.setLED(c.mode);
    EXPECT_EQ((Log{"read ACLC", "read ACLC"}), machine.smc->log())
        << c.mode << ", repeated";
  }
}

TEST(MagSafeLEDTest, RefusesUnknownNamesBeforeSMCAccess) {
  for (const char* mode : {"Amber", "GREEN", "amber ", "", "blink", "1"}) {
    Machine machine(FakeMachineKeys(Mode::firmware));
    EXPECT_EQ("Unsupported MagSafe mode",
              ControlErrorOf([&] { machine.controller.setLED(mode); }))
        << mode;
    EXPECT_TRUE(machine.smc->log().empty()) << mode;
  }
}

TEST(MagSafeLEDTest, RefusesAnLEDKeyThatIsNotOneByteWide) {
  static const struct {
    const char* name;
    std::function<void(FakeSMCAccess&)> setup;
    std::string error;
  } cases[] = {
      {"two bytes",
       [](FakeSMCAccess& smc) {
         smc.set("ACLC", {0, 0});
       },
       "Unsupported ACLC payload width"},
      {"missing", [](FakeSMCAccess& smc) { smc.erase("ACLC"); },
       MissingKeyText("ACLC")},
  };
  for (const auto& c : cases) {
    Machine machine(FakeMachineKeys(Mode::firmware));
    c.setup(*machine.smc);
    EXPECT_EQ(c.error,
              ControlErrorOf([&] { machine.controller.setLED("green"); }))
        << c.name;
    EXPECT_EQ(Log{"read ACLC"}, machine.smc->log()) << c.name;
  }
}

}  // namespace
}  // namespace ampervale
