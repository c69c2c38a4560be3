#include "tools/ampctl/reports.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tools/ampctl/tool_test_support.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;
using testing::ToolHarness;

TEST(ReportsTest, CapabilitiesForAnyUserWithSortedKeys) {
  ToolHarness harness;
  harness.smc = std::make_shared<FakeSMCAccess>(
      FakeMachineKeys(Mode::legacySingle, "CH0J"));
  harness.smc->set("CH0I", {0, 0});
  // The probe never throws: what a read throws becomes the key's text.
  harness.smc->failRead("CHIE",
                        std::make_exception_ptr(std::runtime_error("gone")));
  harness.smc->failRead("ACLC", std::make_exception_ptr(42));
  EXPECT_EQ("", harness.Run({"capabilities"}, 501));
  const char* expected = R"json({
  "backend": "Ampervale native backend 1.0.0",
  "chargeMode": "legacySingle",
  "effectiveUID": 501,
  "keys": {
    "ACLC": "SMC read failed",
    "CH0B": "SMC CH0B command 9: request failed (IOKit 0x00000000, SMC 132)",
    "CH0C": "SMC CH0C command 9: request failed (IOKit 0x00000000, SMC 132)",
    "CH0I": "unexpected payload width 2, expected 1",
    "CH0J": "available (1 bytes)",
    "CHIE": "gone",
    "CHTE": "available (4 bytes)",
    "bfD0": "SMC bfD0 command 9: request failed (IOKit 0x00000000, SMC 132)",
    "bfE0": "SMC bfE0 command 9: request failed (IOKit 0x00000000, SMC 132)",
    "bfF0": "SMC bfF0 command 9: request failed (IOKit 0x00000000, SMC 132)"
  },
  "macOS": "Test OS 1.0"
}
)json";
  EXPECT_EQ(expected, harness.out.str());
  // A report needs no runtime directory.
  EXPECT_FALSE(std::filesystem::exists(harness.runtime()));
}

// A heartbeat error fails the status unless it only concerns the adapter or
// the LED.
TEST(ReportsTest, StatusJudgesTheHeartbeatAndPrintsTheLimit) {
  static const struct {
    std::optional<std::string> heartbeat;
    const char* policy;
    const char* error;
    const char* out;
  } cases[] = {
      {"Adapter: SMC CHIE failed", R"({"upperLimit":80})", "", "80"},
      {"Adapter: a | MagSafe: b", "{}", "", "disabled"},
      {"Charging: x | MagSafe: y", "{}", "Charging: x | MagSafe: y", ""},
      {"Adapter: a | Charging: c", "{}", "Adapter: a | Charging: c", ""},
      {"Cannot read policy.json", "{}", "Cannot read policy.json", ""},
      {std::nullopt, R"({"upperLimit":20})", "Invalid stored charge limit", ""},
  };
  for (const auto& c : cases) {
    ToolHarness harness;
    harness.StartDaemon(c.heartbeat);
    harness.StorePolicy(c.policy);
    SCOPED_TRACE(c.heartbeat.value_or(c.policy));
    EXPECT_EQ(c.error, harness.Run({"status"}));
    EXPECT_EQ(*c.out ? "Charge backend ready (firmware); limit: " +
                           std::string(c.out) + "\n"
                     : "",
              harness.out.str());
    // The policy lock is free again, whatever happened.
    close(NativePowerStore(harness.runtime()).lockFile("policy.lock", true));
  }
}

TEST(ReportsTest, ReportsNeedUsableHardware) {
  static const struct {
    const char* command;
    Mode mode;
    const char* adapterKey;
    const char* error;
    const char* adapter = "";  // what adapter status prints
    uint8_t chie = 0x00;
  } cases[] = {
      {"status", Mode::unsupported, "CHIE",
       "Charging control unavailable. bfF0: SMC bfF0 command 9: request "
       "failed (IOKit 0x00000000, SMC 132); bfD0: SMC bfD0 command 9: request "
       "failed (IOKit 0x00000000, SMC 132); bfE0: SMC bfE0 command 9: request "
       "failed (IOKit 0x00000000, SMC 132); CH0B: SMC CH0B command 9: request "
       "failed (IOKit 0x00000000, SMC 132); CH0C: SMC CH0C command 9: request "
       "failed (IOKit 0x00000000, SMC 132); CHTE: SMC CHTE command 9: request "
       "failed (IOKit 0x00000000, SMC 132)"},
      {"adapter status", Mode::firmware, "",
       "Adapter power control is unsupported by this firmware"},
      {"adapter status", Mode::firmware, "CHIE", "", "enabled"},
      {"adapter status", Mode::firmware, "CHIE", "", "disabled", 0x08},
      {"adapter status", Mode::firmware, "CHIE", "", "disabled", 0x01},
  };
  for (const auto& c : cases) {
    ToolHarness harness;
    harness.smc =
        std::make_shared<FakeSMCAccess>(FakeMachineKeys(c.mode, c.adapterKey));
    harness.StartDaemon();
    if (*c.adapterKey) harness.smc->set("CHIE", {c.chie});
    EXPECT_EQ(c.error, harness.Run(testing::Words(c.command))) << c.command;
    EXPECT_EQ(
        *c.adapter ? "Power adapter is " + std::string(c.adapter) + "\n" : "",
        harness.out.str())
        << c.command;
  }
}

}  // namespace
}  // namespace ampervale
