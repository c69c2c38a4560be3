#include "tools/ampctl/power_tool.h"

#include <gtest/gtest.h>

#include "tools/ampctl/install.h"
#include "tools/ampctl/tool_test_support.h"

namespace ampervale {
namespace {

using NativeBackendTool::Arguments;
using testing::ToolHarness;

const char kHelp[] =
    "Ampervale native backend 1.0.0 \xC2\xB7 ampctl\n"
    "Commands: capabilities, status, limit PERCENT, disable, "
    "restore-system-charging, adapter enable|disable|status, "
    "magsafe-led enable|disable|always-off|green|amber, "
    "install [--allow-non-root-access], daemon\n"
    "Charge limits: 30\xE2\x80\x93"
    "100%; --allow-non-root-access is accepted for launcher compatibility. "
    "Control commands require the privileged helper.\n";
const char kUnsupported[] = "Unsupported ampctl command or arguments";
const char kNoDaemon[] =
    "Charge daemon not running; prepare the helper backends";
const char kDenied[] = "Permission denied: use the Ampervale privileged helper";

// Help, version and option errors answer any user before the privilege
// check; root's commands are exact word lists.
TEST(PowerToolTest, DispatchesExactWordLists) {
  static const struct {
    uid_t uid;
    Arguments arguments;
    const char* error;
    const char* out = "";
  } cases[] = {
      {501, {}, "", kHelp},
      {501, {"status", "--help"}, "", kHelp},
      {501, {"--config", "-h"}, "", kHelp},
      {501, {"-h"}, "", kHelp},
      {501, {"version"}, "", "Ampervale native backend 1.0.0\n"},
      {501, {"--config"}, "Missing value for --config"},
      {501, {"version", "x"}, kDenied},
      {0, {"limit", "101"}, kUnsupported},
      {0, {"limit", "29"}, kUnsupported},
      {0, {"limit", "80", "now"}, kUnsupported},
      {0, {"limit", "99999999999999999999"}, kUnsupported},
      {0, {"limit", "80x"}, kUnsupported},
      {0, {"limit", "++80"}, kUnsupported},
      {0, {"daemon", "--allow-non-root-access"}, kUnsupported},
      {0, {"magsafe-led", "orange"}, kUnsupported},
      {0, {"--config", "a", "--config", "b", "status"}, kUnsupported},
      // Routed to their commands, which find no daemon.
      {0, {"limit", "100"}, kNoDaemon},
      {0, {"limit", "+030"}, kNoDaemon},
      {0, {"adapter", "status"}, kNoDaemon},
      // The only root command that succeeds here: it runs the daemon.
      {0, {"daemon", "--always-allow-non-root-access"}, ""},
      {0, {"--log-level", "debug", "disable"}, kNoDaemon},
  };
  for (const auto& c : cases) {
    const std::string label = ::testing::PrintToString(c.arguments);
    ToolHarness harness;
    harness.smcOpens = c.uid == 0;
    EXPECT_EQ(c.error, harness.Run(c.arguments, c.uid)) << label;
    EXPECT_EQ(c.out, harness.out.str()) << label;
    EXPECT_EQ(c.uid == 0, std::filesystem::exists(harness.runtime())) << label;
    EXPECT_EQ(c.uid == 0 && !*c.error, harness.daemonRuns == 1) << label;
  }
}

// Everything but help, version and capabilities is root's alone.
TEST(PowerToolTest, RefusesEveryOtherCommandToAnOrdinaryUser) {
  for (Arguments words : NativeBackendTool::commandWordLists()) {
    if (words[1 % words.size()] == "PERCENT") words[1] = "80";
    const bool open = words == Arguments{"version"} ||
                      words == Arguments{"--version"} ||
                      words == Arguments{"capabilities"};
    SCOPED_TRACE(::testing::PrintToString(words));
    ToolHarness harness;
    EXPECT_EQ(open ? "" : kDenied, harness.Run(words, 501));
    EXPECT_FALSE(std::filesystem::exists(harness.runtime()));
  }
}

TEST(PowerToolTest, KnowsTheInstalledBackendHoweverItsPathIsSpelt) {
  const std::string bin = "/Library/Application Support/Ampervale/bin";
  for (const char* path : {"ampctl", "./ampctl/", "..//bin/ampctl"})
    EXPECT_EQ(kInstalledBackendPath, StandardizedPath(path, bin)) << path;
}

}  // namespace
}  // namespace ampervale
