#include "tools/ampctl/reports.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>

#include "tools/ampctl/tool_test_support.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;
using testing::ToolHarness;

TEST(ReportsTest, CapabilitiesForAnyUserWithSortedKeys) {
  ToolHarness harness;
  harness.smc = std::make_shared<FakeSMCAccess>(
      FakeMachineKeys(Mode::legacySingle, "CH0J"));
  // A key wider than its mode needs does not make the mode.
  harness.Arrange("CH0I 00 00, CH0B 00 00, CH0C 00");
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
    "CH0B": "unexpected payload width 2, expected 1",
    "CH0C": "available (1 bytes)",
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
// the LED. The policy lock is free again after every report.
TEST(ReportsTest, ReportsJudgeTheHeartbeatAndNeedUsableHardware) {
  std::string unavailable = "Charging control unavailable.", separator = " ";
  for (const std::string key :
       {"bfF0", "bfD0", "bfE0", "CH0B", "CH0C", "CHTE"}) {
    unavailable += std::exchange(separator, "; ") + key + ": SMC " + key +
                   " command 9: request failed (IOKit 0x00000000, SMC 132)";
  }
  const std::string ready = "Charge backend ready (firmware); limit: ";
  const std::string adapter = "Power adapter is ";
  const struct {
    const char* command;
    std::optional<std::string> heartbeat = std::nullopt;
    const char* policy = nullptr;  // nullptr: no policy file
    std::string error = "";
    std::string out = "";
    Mode mode = Mode::firmware;
    const char* adapterKey = "CHIE";
    uint8_t chie = 0x00;
  } cases[] = {
      {"status", "Adapter: SMC CHIE failed", R"({"upperLimit":80})", "",
       ready + "80\n"},
      {"status", "Adapter: a | MagSafe: b", "{}", "", ready + "disabled\n"},
      {"status", "Charging: x | MagSafe: y", "{}", "Charging: x | MagSafe: y"},
      {"status", "Adapter: a | Charging: c", "{}", "Adapter: a | Charging: c"},
      {"status", "Cannot read policy.json", "{}", "Cannot read policy.json"},
      {"status", std::nullopt, R"({"upperLimit":20})",
       "Invalid stored charge limit"},
      {"status", std::nullopt, nullptr, unavailable, "", Mode::unsupported},
      {.command = "adapter status",
       .error = "Adapter power control is unsupported by this firmware",
       .adapterKey = ""},
      {.command = "adapter status", .out = adapter + "enabled\n"},
      {.command = "adapter status", .out = adapter + "disabled\n", .chie = 0x8},
      {.command = "adapter status", .out = adapter + "disabled\n", .chie = 0x1},
  };
  for (const auto& c : cases) {
    ToolHarness harness;
    harness.smc =
        std::make_shared<FakeSMCAccess>(FakeMachineKeys(c.mode, c.adapterKey));
    harness.StartDaemon(c.heartbeat);
    if (c.policy) harness.StorePolicy(c.policy);
    if (*c.adapterKey) harness.smc->set("CHIE", {c.chie});
    SCOPED_TRACE(c.command + (" " + c.heartbeat.value_or(c.error)));
    EXPECT_EQ(c.error, harness.Run(testing::Words(c.command)));
    EXPECT_EQ(c.out, harness.out.str());
    close(NativePowerStore(harness.runtime()).lockFile("policy.lock", true));
  }
}

}  // namespace
}  // namespace ampervale
