#include "tools/ampctl/reports.h"

#include <gtest/gtest.h>

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
  EXPECT_EQ("", harness.Run({"capabilities"}, 501));
  const char* expected = R"json({
  "backend": "Ampervale native backend 1.0.0",
  "chargeMode": "legacySingle",
  "effectiveUID": 501,
  "keys": {
    "ACLC": "available (1 bytes)",
    "CH0B": "SMC CH0B command 9: request failed (IOKit 0x00000000, SMC 132)",
    "CH0C": "SMC CH0C command 9: request failed (IOKit 0x00000000, SMC 132)",
    "CH0I": "unexpected payload width 2, expected 1",
    "CH0J": "available (1 bytes)",
    "CHIE": "SMC CHIE command 9: request failed (IOKit 0x00000000, SMC 132)",
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

TEST(ReportsTest, StatusJudgesTheHeartbeat) {
  static const struct {
    std::optional<std::string> heartbeatError;
    const char* error;
  } cases[] = {
      {std::nullopt, ""},
      {"Adapter: SMC CHIE failed", ""},
      {"MagSafe: Unsupported ACLC payload width", ""},
      {"Adapter: a | MagSafe: b", ""},
      {"Charging: x | MagSafe: y", "Charging: x | MagSafe: y"},
      {"Adapter: a | Charging: c", "Adapter: a | Charging: c"},
      {"Cannot read policy.json", "Cannot read policy.json"},
  };
  for (const auto& c : cases) {
    ToolHarness harness;
    harness.StartDaemon(c.heartbeatError);
    EXPECT_EQ(c.error, harness.Run({"status"}))
        << c.heartbeatError.value_or("none");
    EXPECT_EQ(
        *c.error ? "" : "Charge backend ready (firmware); limit: disabled\n",
        harness.out.str())
        << c.heartbeatError.value_or("none");
  }
}

TEST(ReportsTest, StatusPrintsTheStoredLimit) {
  ToolHarness harness;
  harness.StartDaemon();
  harness.StorePolicy(R"({"upperLimit":80})");
  EXPECT_EQ("", harness.Run({"status"}));
  EXPECT_EQ("Charge backend ready (firmware); limit: 80\n", harness.out.str());
}

TEST(ReportsTest, StatusWithAnInvalidPolicyReleasesTheLock) {
  ToolHarness harness;
  harness.StartDaemon();
  harness.StorePolicy(R"({"upperLimit":20})");
  EXPECT_EQ("Invalid stored charge limit", harness.Run({"status"}));
  NativePowerStore store(harness.runtime());
  int lock = store.lockFile("policy.lock", /*nonblocking=*/true);
  close(lock);
}

TEST(ReportsTest, ReportsNeedALiveDaemonAndUsableHardware) {
  static const struct {
    const char* command;
    bool daemon;
    Mode mode;
    std::string_view adapterKey;
    const char* error;
  } cases[] = {
      {"status", false, Mode::firmware, "CHIE",
       "Charge daemon not running; prepare the helper backends"},
      {"adapter status", false, Mode::firmware, "CHIE",
       "Charge daemon not running; prepare the helper backends"},
      {"status", true, Mode::unsupported, "CHIE",
       "Charging control unavailable. bfF0: SMC bfF0 command 9: request "
       "failed (IOKit 0x00000000, SMC 132); bfD0: SMC bfD0 command 9: request "
       "failed (IOKit 0x00000000, SMC 132); bfE0: SMC bfE0 command 9: request "
       "failed (IOKit 0x00000000, SMC 132); CH0B: SMC CH0B command 9: request "
       "failed (IOKit 0x00000000, SMC 132); CH0C: SMC CH0C command 9: request "
       "failed (IOKit 0x00000000, SMC 132); CHTE: SMC CHTE command 9: request "
       "failed (IOKit 0x00000000, SMC 132)"},
      {"adapter status", true, Mode::firmware, "",
       "Adapter power control is unsupported by this firmware"},
      {"adapter status", true, Mode::firmware, "CHIE", ""},
  };
  for (const auto& c : cases) {
    ToolHarness harness;
    harness.smc =
        std::make_shared<FakeSMCAccess>(FakeMachineKeys(c.mode, c.adapterKey));
    if (c.daemon) harness.StartDaemon();
    NativeBackendTool::Arguments arguments =
        std::string(c.command) == "status"
            ? NativeBackendTool::Arguments{"status"}
            : NativeBackendTool::Arguments{"adapter", "status"};
    EXPECT_EQ(c.error, harness.Run(arguments)) << c.command;
    EXPECT_EQ(*c.error ? "" : "Power adapter is enabled\n", harness.out.str())
        << c.command;
  }
}

}  // namespace
}  // namespace ampervale
