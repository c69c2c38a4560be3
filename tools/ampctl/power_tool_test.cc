#include "tools/ampctl/power_tool.h"

#include <gtest/gtest.h>

#include "tools/ampctl/tool_test_support.h"

namespace ampervale {
namespace {

using NativeBackendTool::Arguments;
using testing::Joined;
using testing::ToolHarness;

const char kHelp[] =
    "Ampervale native backend 1.0.0 \xC2\xB7 ampctl\n"
    "Commands: capabilities, status, limit PERCENT, disable, "
    "restore-system-charging, adapter enable|disable|status, "
    "magsafe-led enable|disable|always-off|green|amber, "
    "install [--allow-non-root-access], daemon\n"
    "Charge limits: 30\xE2\x80\x93"
    "100%; --allow-non-root-access is accepted "
    "for launcher compatibility. Control commands require the privileged "
    "helper.\n";
const char kUnsupported[] = "Unsupported ampctl command or arguments";
const char kDenied[] = "Permission denied: use the Ampervale privileged helper";

TEST(PowerToolTest, AnswersForAnyUserBeforeThePrivilegeCheck) {
  static const struct {
    Arguments arguments;
    const char* error;
    const char* out;
  } cases[] = {
      {{}, "", kHelp},
      {{"status", "--help"}, "", kHelp},
      {{"-h", "x"}, "", kHelp},
      {{"--config", "-h"}, "", kHelp},
      {{"version"}, "", "Ampervale native backend 1.0.0\n"},
      {{"--version"}, "", "Ampervale native backend 1.0.0\n"},
      {{"--config"}, "Missing value for --config", ""},
      {{"--help", "--config"}, "Missing value for --config", ""},
      {{"status", "--log-level"}, "Missing value for --log-level", ""},
      {{"--daemon-socket"}, "Missing value for --daemon-socket", ""},
      {{"version", "x"}, kDenied, ""},
      {{"status"}, kDenied, ""},
      {{"limit", "80"}, kDenied, ""},
      {{"restore-system-charging"}, kDenied, ""},
      {{"install"}, kDenied, ""},
      {{"no-such-command"}, kDenied, ""},
  };
  for (const auto& c : cases) {
    ToolHarness harness;
    harness.smcOpens = false;  // none of these may need the SMC
    EXPECT_EQ(c.error, harness.Run(c.arguments, 501)) << Joined(c.arguments);
    EXPECT_EQ(c.out, harness.out.str()) << Joined(c.arguments);
    EXPECT_FALSE(std::filesystem::exists(harness.runtime()))
        << Joined(c.arguments);
  }
}

TEST(PowerToolTest, RootCommandsMatchWholeWordLists) {
  static const struct {
    Arguments arguments;
    const char* error;
  } cases[] = {
      {{"limit", "101"}, kUnsupported},
      {{"limit", "29"}, kUnsupported},
      {{"limit", "abc"}, kUnsupported},
      {{"limit", "80", "now"}, kUnsupported},
      {{"limit", ""}, kUnsupported},
      {{"limit", "++80"}, kUnsupported},
      {{"limit", "99999999999999999999"}, kUnsupported},
      {{"limit", " 80"}, kUnsupported},
      {{"Status"}, kUnsupported},
      {{"daemon", "--allow-non-root-access"}, kUnsupported},
      {{"install", "--always-allow-non-root-access"}, kUnsupported},
      {{"magsafe-led", "orange"}, kUnsupported},
      {{"adapter"}, kUnsupported},
      {{"--config", "a", "--config", "b", "status"}, kUnsupported},
      // Routed to their commands, which find no daemon.
      {{"limit", "+80"},
       "Charge daemon not running; prepare the helper backends"},
      {{"limit", "080"},
       "Charge daemon not running; prepare the helper backends"},
      {{"limit", "100"},
       "Charge daemon not running; prepare the helper backends"},
      {{"--log-level", "debug", "disable"},
       "Charge daemon not running; prepare the helper backends"},
  };
  for (const auto& c : cases) {
    ToolHarness harness;
    EXPECT_EQ(c.error, harness.Run(c.arguments)) << Joined(c.arguments);
    EXPECT_EQ("", harness.out.str()) << Joined(c.arguments);
  }
}

TEST(PowerToolTest, DaemonWordsStartTheDaemon) {
  ToolHarness harness;
  EXPECT_EQ("", harness.Run({"daemon"}));
  EXPECT_EQ("", harness.Run({"daemon", "--always-allow-non-root-access"}));
  EXPECT_EQ(2, harness.daemonRuns);
}

TEST(PowerToolTest, SharedObjectsComeBeforeTheCommandWord) {
  ToolHarness noSMC;
  noSMC.smcOpens = false;
  EXPECT_EQ("AppleSMC is unavailable on this Mac", noSMC.Run({"bogus"}));
  // The store was prepared first.
  EXPECT_TRUE(std::filesystem::is_directory(noSMC.runtime()));

  ToolHarness badStore;
  std::filesystem::create_directory(badStore.scratch.path() / "elsewhere");
  std::filesystem::create_directory_symlink(
      badStore.scratch.path() / "elsewhere", badStore.runtime());
  EXPECT_EQ("Backend runtime directory has unexpected ownership or type",
            badStore.Run({"bogus"}));
}

TEST(PowerToolTest, SignedAndPaddedLimitsAreTheSameCommand) {
  for (const char* word : {"80", "+80", "080", "+0080"}) {
    ToolHarness harness;
    harness.StartDaemon();
    EXPECT_EQ("", harness.Run({"limit", word})) << word;
    EXPECT_EQ(R"({"upperLimit":80,"restoreChargingRequested":false})",
              harness.StoredPolicy())
        << word;
  }
}

}  // namespace
}  // namespace ampervale
