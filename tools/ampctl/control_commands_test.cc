#include "tools/ampctl/control_commands.h"

#include <gtest/gtest.h>

#include "tools/ampctl/tool_test_support.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;
using NativeBackendTool::Arguments;
using testing::Joined;
using testing::ToolHarness;

const char kVerified[] = "Hardware operation verified\n";
const char kNoDaemon[] =
    "Charge daemon not running; prepare the helper backends";

TEST(ControlCommandsTest, StoreTheWantedStateAndDriveTheHardware) {
  static const struct {
    Arguments arguments;
    const char* before;  // nullptr: no policy file
    std::function<void(FakeSMCAccess&)> arrange;
    const char* after;
    std::vector<std::string> writes;
  } cases[] = {
      {{"limit", "80"},
       R"({"adapterEnabled":true,"ledMode":"amber"})",
       nullptr,
       R"({"upperLimit":80,"adapterEnabled":true,"ledMode":"amber",)"
       R"("restoreChargingRequested":false})",
       {"write bfD0 50 00 00 00", "write bfE0 4f 00 00 00", "write bfF0 02"}},
      {{"limit", "30"},
       nullptr,
       nullptr,
       R"({"upperLimit":30,"restoreChargingRequested":false})",
       {"write bfD0 1e 00 00 00", "write bfE0 1d 00 00 00", "write bfF0 02"}},
      {{"limit", "100"},
       R"({"upperLimit":80})",
       [](FakeSMCAccess& s) { s.set("bfF0", {0x02}); },
       R"({"restoreChargingRequested":false})",
       {"write bfF0 00"}},
      {{"disable"},
       R"({"upperLimit":80,"ledMode":"green"})",
       [](FakeSMCAccess& s) { s.set("bfF0", {0x02}); },
       R"({"ledMode":"green","restoreChargingRequested":false})",
       {"write bfF0 00"}},
      {{"adapter", "disable"},
       nullptr,
       nullptr,
       R"({"adapterEnabled":false})",
       {"write CHIE 08"}},
      {{"adapter", "enable"},
       R"({"restoreChargingRequested":true})",
       [](FakeSMCAccess& s) { s.set("CHIE", {0x08}); },
       R"({"adapterEnabled":true,"restoreChargingRequested":false})",
       {"write CHIE 00"}},
      {{"magsafe-led", "enable"},
       nullptr,
       nullptr,
       R"({"ledMode":"system"})",
       {}},
      {{"magsafe-led", "always-off"},
       nullptr,
       nullptr,
       R"({"ledMode":"off"})",
       {"write ACLC 01"}},
      {{"magsafe-led", "green"},
       nullptr,
       nullptr,
       R"({"ledMode":"green"})",
       {"write ACLC 03"}},
      {{"magsafe-led", "amber"},
       nullptr,
       nullptr,
       R"({"ledMode":"amber"})",
       {"write ACLC 04"}},
      {{"magsafe-led", "disable"},
       R"({"upperLimit":50,"ledMode":"amber"})",
       nullptr,
       R"({"upperLimit":50})",
       {}},
  };
  for (const auto& c : cases) {
    ToolHarness harness;
    harness.StartDaemon();
    if (c.before) harness.StorePolicy(c.before);
    if (c.arrange) c.arrange(*harness.smc);
    harness.smc->clearLog();
    EXPECT_EQ("", harness.Run(c.arguments)) << Joined(c.arguments);
    EXPECT_EQ(kVerified, harness.out.str()) << Joined(c.arguments);
    EXPECT_EQ(c.after, harness.StoredPolicy()) << Joined(c.arguments);
    EXPECT_EQ(c.writes, harness.smc->writes()) << Joined(c.arguments);
  }
}

TEST(ControlCommandsTest, FailuresLeaveThePreviousPolicy) {
  static const struct {
    Arguments arguments;
    bool daemon;
    std::optional<int64_t> battery;
    std::function<void(FakeSMCAccess&)> arrange;
    const char* error;
  } cases[] = {
      {{"limit", "80"}, false, 50, nullptr, kNoDaemon},
      {{"disable"}, false, 50, nullptr, kNoDaemon},
      {{"magsafe-led", "green"}, false, 50, nullptr, kNoDaemon},
      {{"adapter", "enable"}, false, 50, nullptr, kNoDaemon},
      // The battery is checked before the daemon.
      {{"adapter", "disable"},
       false,
       3,
       nullptr,
       "Cannot disable adapter power without valid battery data above 3%"},
      {{"adapter", "disable"},
       true,
       std::nullopt,
       nullptr,
       "Cannot disable adapter power without valid battery data above 3%"},
      {{"disable"},
       true,
       50,
       [](FakeSMCAccess& s) {
         s.set("bfF0", {0x02});
         s.failWrite("bfF0", "SMC bfF0 refused");
       },
       "SMC bfF0 refused"},
      {{"magsafe-led", "green"},
       true,
       50,
       [](FakeSMCAccess& s) {
         s.set("ACLC", {0, 0});
       },
       "Unsupported ACLC payload width"},
      {{"limit", "80"},
       true,
       50,
       [](FakeSMCAccess& s) { s.dropWrites("bfE0"); },
       "SMC write verification failed for bfE0"},
  };
  const char kBefore[] = R"({"upperLimit":60,"ledMode":"amber"})";
  for (const auto& c : cases) {
    ToolHarness harness;
    harness.battery = c.battery;
    if (c.daemon) harness.StartDaemon();
    harness.StorePolicy(kBefore);
    if (c.arrange) c.arrange(*harness.smc);
    EXPECT_EQ(c.error, harness.Run(c.arguments)) << Joined(c.arguments);
    EXPECT_EQ("", harness.out.str()) << Joined(c.arguments);
    EXPECT_EQ(kBefore, harness.StoredPolicy()) << Joined(c.arguments);
  }
}

TEST(ControlCommandsTest, RestoreNeedsNoStoreNoDaemon) {
  static const struct {
    Mode mode;
    const char* out;
    std::vector<std::string> writes;
  } cases[] = {
      {Mode::unsupported,
       "No legacy firmware charge control is available\n",
       {}},
      {Mode::firmware,
       "Legacy firmware charge control restored\n",
       {"write bfF0 00"}},
      {Mode::legacySingle,
       "Legacy firmware charge control restored\n",
       {"write CHTE 00 00 00 00"}},
  };
  for (const auto& c : cases) {
    ToolHarness harness;
    FakeSMCAccess::KeyTable keys = FakeMachineKeys(c.mode);
    if (keys.count("bfF0")) keys["bfF0"] = {0x02};
    if (keys.count("CHTE")) keys["CHTE"] = {0x01, 0, 0, 0};
    harness.smc = std::make_shared<FakeSMCAccess>(keys);
    EXPECT_EQ("", harness.Run({"restore-system-charging"}));
    EXPECT_EQ(c.out, harness.out.str());
    EXPECT_EQ(c.writes, harness.smc->writes());
    EXPECT_FALSE(std::filesystem::exists(harness.runtime()));
  }
}

}  // namespace
}  // namespace ampervale
