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
const char kBefore[] = R"({"upperLimit":60,"ledMode":"amber"})";

// A failed command leaves the policy as it was.
TEST(ControlCommandsTest, StoreTheWantedStateAndDriveTheHardware) {
  static const struct {
    const char* command;
    const char* before;  // nullptr: no policy file
    const char* keys;
    const char* after;  // nullptr: as before
    const char* written;
    const char* error = "";
    const char* broken = "";
    std::optional<int64_t> battery = 50;
    bool daemon = true;
    const char* out = "Hardware operation verified\n";
    Mode mode = Mode::firmware;
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
      // The battery is checked before the daemon.
      {"adapter disable", kBefore, "", nullptr, "", kLowBattery, "", 3, false},
      {"adapter disable", kBefore, "", nullptr, "", kLowBattery, "",
       std::nullopt},
      {"adapter disable", kBefore, "", nullptr, "CHIE 08", "CHIE refused",
       "CHIE", 4},
      {"magsafe-led green", kBefore, "ACLC 00 00", nullptr, "",
       "Unsupported ACLC payload width"},
      // The thresholds the machine had are written back, the limiter off.
      {"limit 80", kBefore, "", nullptr,
       "bfD0 50 00 00 00, bfE0 4f 00 00 00, "
       "bfF0 00, bfD0 64 00 00 00, bfE0 63 00 00 00, bfF0 00",
       "bfE0 refused", "bfE0"},
      // Needs no store and no daemon.
      {"restore-system-charging", nullptr, "", "(none)", "", "", "", 50, false,
       "No legacy firmware charge control is available\n", Mode::unsupported},
      {"restore-system-charging", nullptr, "bfF0 02", "(none)", "bfF0 00", "",
       "", 50, false, "Legacy firmware charge control restored\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    ToolHarness harness;
    harness.smc = std::make_shared<FakeSMCAccess>(FakeMachineKeys(c.mode));
    harness.battery = c.battery;
    if (c.daemon) harness.StartDaemon();
    if (c.before) harness.StorePolicy(c.before);
    harness.Arrange(c.keys, c.broken);
    EXPECT_EQ(c.error, harness.Run(Words(c.command)));
    EXPECT_EQ(*c.error ? "" : c.out, harness.out.str());
    EXPECT_EQ(c.after ? c.after : c.before, harness.StoredPolicy());
    EXPECT_EQ(c.daemon || c.before, std::filesystem::exists(harness.runtime()));
    EXPECT_EQ(c.written, harness.smc->writtenText());
  }
}

}  // namespace
}  // namespace ampervale
