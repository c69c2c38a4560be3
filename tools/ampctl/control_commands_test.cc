#include "tools/ampctl/control_commands.h"

#include <gtest/gtest.h>

#include "tools/ampctl/tool_test_support.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;
using testing::ToolHarness;
using testing::Words;

const char kLowBattery[] =
    "Cannot disable adapter power without valid battery data above 3%";

TEST(ControlCommandsTest, StoreTheWantedStateAndDriveTheHardware) {
  static const struct {
    const char* command;
    const char* before;  // nullptr: no policy file
    const char* keys;
    const char* after;
    const char* written;
  } cases[] = {
      {"limit 80", R"({"adapterEnabled":true,"ledMode":"amber"})", "",
       R"({"upperLimit":80,"adapterEnabled":true,"ledMode":"amber",)"
       R"("restoreChargingRequested":false})",
       "bfD0 50 00 00 00, bfE0 4f 00 00 00, bfF0 02"},
      // The lowest limit, signed and padded.
      {"limit +030", nullptr, "",
       R"({"upperLimit":30,"restoreChargingRequested":false})",
       "bfD0 1e 00 00 00, bfE0 1d 00 00 00, bfF0 02"},
      {"limit 100", R"({"upperLimit":80})", "bfF0 02",
       R"({"restoreChargingRequested":false})", "bfF0 00"},
      {"disable", R"({"upperLimit":80,"ledMode":"green"})", "bfF0 02",
       R"({"ledMode":"green","restoreChargingRequested":false})", "bfF0 00"},
      {"adapter disable", nullptr, "", R"({"adapterEnabled":false})",
       "CHIE 08"},
      {"adapter enable", R"({"restoreChargingRequested":true})", "CHIE 08",
       R"({"adapterEnabled":true,"restoreChargingRequested":false})",
       "CHIE 00"},
      {"magsafe-led enable", nullptr, "ACLC 04", R"({"ledMode":"system"})",
       "ACLC 00"},
      {"magsafe-led always-off", nullptr, "", R"({"ledMode":"off"})",
       "ACLC 01"},
      {"magsafe-led green", nullptr, "", R"({"ledMode":"green"})", "ACLC 03"},
      {"magsafe-led disable", R"({"upperLimit":50,"ledMode":"amber"})",
       "ACLC 04", R"({"upperLimit":50})", ""},
  };
  for (const auto& c : cases) {
    ToolHarness harness;
    harness.StartDaemon();
    if (c.before) harness.StorePolicy(c.before);
    harness.Arrange(c.keys);
    EXPECT_EQ("", harness.Run(Words(c.command))) << c.command;
    EXPECT_EQ("Hardware operation verified\n", harness.out.str()) << c.command;
    EXPECT_EQ(c.after, harness.StoredPolicy()) << c.command;
    EXPECT_EQ(c.written, harness.smc->writtenText()) << c.command;
  }
}

TEST(ControlCommandsTest, FailuresLeaveThePreviousPolicy) {
  static const struct {
    const char* command;
    bool daemon;
    std::optional<int64_t> battery;
    const char* keys;
    const char* broken;
    const char* error;
  } cases[] = {
      // The battery is checked before the daemon.
      {"adapter disable", false, 3, "", "", kLowBattery},
      {"adapter disable", true, std::nullopt, "", "", kLowBattery},
      {"adapter disable", true, 4, "", "CHIE", "CHIE refused"},
      {"magsafe-led green", true, 50, "ACLC 00 00", "",
       "Unsupported ACLC payload width"},
      {"limit 80", true, 50, "", "bfE0", "bfE0 refused"},
  };
  const char kBefore[] = R"({"upperLimit":60,"ledMode":"amber"})";
  for (const auto& c : cases) {
    ToolHarness harness;
    harness.battery = c.battery;
    if (c.daemon) harness.StartDaemon();
    harness.StorePolicy(kBefore);
    harness.Arrange(c.keys, c.broken);
    EXPECT_EQ(c.error, harness.Run(Words(c.command))) << c.command;
    EXPECT_EQ("", harness.out.str()) << c.command;
    EXPECT_EQ(kBefore, harness.StoredPolicy()) << c.command;
  }
}

TEST(ControlCommandsTest, RestoreNeedsNoStoreNoDaemon) {
  static const struct {
    Mode mode;
    const char* keys;
    const char* out;
    const char* written;
  } cases[] = {
      {Mode::unsupported, "",
       "No legacy firmware charge control is available\n", ""},
      {Mode::firmware, "bfF0 02", "Legacy firmware charge control restored\n",
       "bfF0 00"},
  };
  for (const auto& c : cases) {
    ToolHarness harness;
    harness.smc = std::make_shared<FakeSMCAccess>(FakeMachineKeys(c.mode));
    harness.Arrange(c.keys);
    EXPECT_EQ("", harness.Run({"restore-system-charging"})) << c.out;
    EXPECT_EQ(c.out, harness.out.str());
    EXPECT_EQ(c.written, harness.smc->writtenText()) << c.out;
    EXPECT_FALSE(std::filesystem::exists(harness.runtime())) << c.out;
  }
}

}  // namespace
}  // namespace ampervale
