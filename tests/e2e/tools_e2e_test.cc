#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/e2e/sandbox.h"
#include "tools/ampctl/tool_test_support.h"

namespace ampervale::e2e {
namespace {

namespace fs = std::filesystem;
using testing::Words;

// The job description is checked by another property list reader.
TEST(AmpctlEndToEnd, InstallOnlyFromTheInstalledPath) {
  Sandbox sandbox;
  std::string bin = sandbox.library() + "/Application Support/Ampervale/bin";
  fs::create_directories(bin);
  fs::copy_file(BuiltProgram("ampctl"), bin + "/ampctl");
  fs::create_directories(sandbox.library() + "/LaunchDaemons");
  fs::create_directories(sandbox.library() + "/elsewhere");
  fs::create_symlink("/Library/Application Support/Ampervale/bin/ampctl",
                     sandbox.library() + "/elsewhere/ampctl");
  std::string job = sandbox.library() + "/LaunchDaemons/chargelimitd.plist";
  ProcessResult refused = sandbox.Run({"/Library/elsewhere/ampctl", "install"});
  EXPECT_EQ("Install the bundled backend through Ampervale's helper first\n",
            refused.err);
  EXPECT_FALSE(fs::exists(job));
  ProcessResult installed =
      sandbox.Run({"/Library/Application Support/Ampervale/bin/../bin/ampctl",
                   "install", "--allow-non-root-access"});
  EXPECT_EQ("Native charging daemon configured at the existing backend path\n",
            installed.out)
      << installed.err;
  struct stat status {};
  ASSERT_EQ(0, stat(job.c_str(), &status));
  EXPECT_EQ(0644u, status.st_mode & 07777);
  std::string read =
      "import plistlib; d = plistlib.load(open('/Library/LaunchDaemons/"
      "chargelimitd.plist', 'rb')); print(sorted((k, type(v).__name__, v) "
      "for k, v in d.items()))";
  EXPECT_EQ(
      "[('KeepAlive', 'bool', True), ('Label', 'str', 'chargelimitd'), "
      "('ProgramArguments', 'list', ['/Library/Application "
      "Support/Ampervale/bin/ampctl', 'daemon']), ('RunAtLoad', 'bool', "
      "True), ('ThrottleInterval', 'int', 5)]\n",
      sandbox.Run({"/usr/bin/python3", "-c", read}).out);
}

// Waits for an event the daemon brings about within a few passes.
bool Eventually(const std::function<bool()>& happened) {
  for (int attempt = 0; attempt < 300; ++attempt) {
    if (happened()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return happened();
}

TEST(AmpctlEndToEnd, DaemonEnforcesTheLimitAndCommandsDriveTheHardware) {
  Sandbox sandbox;
  sandbox.StartSimulator();
  auto file = [&](const std::string& name) {
    return ReadWholeFile(sandbox.library() +
                         "/Application Support/Ampervale/run/" + name);
  };
  auto key = [&](const char* name) {
    return sandbox.Simulator({"key", name}).out;
  };
  sandbox.Start("daemon", {"ampctl", "daemon"});
  ASSERT_TRUE(Eventually([&] { return !file("health.json").empty(); }))
      << ReadWholeFile(sandbox.logs() + "daemon.err");
  EXPECT_EQ("Backend daemon is already running\n",
            sandbox.Run({"ampctl", "daemon"}).err);

  ProcessResult limit = sandbox.Run({"ampctl", "limit", "80"});
  EXPECT_EQ("Hardware operation verified\n", limit.out) << limit.err;
  EXPECT_EQ("50000000\n", key("bfD0"));
  EXPECT_EQ("4f000000\n", key("bfE0"));
  EXPECT_EQ("02\n", key("bfF0"));
  EXPECT_EQ(R"({"upperLimit":80,"restoreChargingRequested":false})",
            file("policy.json"));
  EXPECT_EQ("Charge backend ready (firmware); limit: 80\n",
            sandbox.Run({"ampctl", "status"}).out);

  // Someone else switches the limiter off; the daemon puts it back.
  sandbox.Simulator({"set-key", "bfF0", "00"});
  EXPECT_TRUE(Eventually([&] { return key("bfF0") == "02\n"; }));

  ProcessResult disable = sandbox.Run({"ampctl", "disable"});
  EXPECT_EQ("Hardware operation verified\n", disable.out) << disable.err;
  EXPECT_EQ("00\n", key("bfF0"));
  EXPECT_EQ(R"({"restoreChargingRequested":false})", file("policy.json"));
  EXPECT_EQ("Charge backend ready (firmware); limit: disabled\n",
            sandbox.Run({"ampctl", "status"}).out);

  // Commands started together all complete; the last to take the lock
  // wins, in the stored policy and on the SMC alike.
  std::vector<pid_t> commands;
  for (int wanted = 60; wanted < 70; ++wanted) {
    std::string value = std::to_string(wanted);
    commands.push_back(sandbox.Start(value, {"ampctl", "limit", value}));
  }
  for (pid_t command : commands) EXPECT_EQ(0, WaitFor(command));
  std::string stored = file("policy.json");
  int last = std::stoi(stored.substr(stored.find(':') + 1));
  EXPECT_TRUE(last >= 60 && last < 70) << stored;
  EXPECT_EQ(R"({"upperLimit":)" + std::to_string(last) +
                R"(,"restoreChargingRequested":false})",
            stored);
  char expected[16];
  ASSERT_LT(0, std::snprintf(expected, sizeof expected, "%02x000000\n", last));
  EXPECT_EQ(expected, key("bfD0"));
  EXPECT_EQ("", ReadWholeFile(sandbox.logs() + "daemon.err"));
}

// Before the simulated Mac starts, only what needs the SMC says it is
// unavailable; once it runs, its refusals reach the user as they are. A
// limit without the daemon changes nothing.
TEST(AmpkeyEndToEnd, ReadsAndWritesTheSimulatedSMC) {
  static const struct {
    const char* fault;  // an ampsim fault; nullptr: no simulator yet
    const char* command;
    uid_t uid;
    const char* out;
    const char* err;
  } cases[] = {
      {nullptr, "ampkey -k ACLC", kRoot, "",
       "AppleSMC is unavailable on this Mac\n"},
      {nullptr, "ampkey -k ACLC -w 03", kOrdinaryUser, "",
       "Permission denied: use the Ampervale privileged helper\n"},
      {nullptr, "ampkey --version", kOrdinaryUser,
       "Ampervale native backend 1.0.0\n", ""},
      {"", "ampkey -k bfD0", kOrdinaryUser, "bfD0: 64000000\n", ""},
      {"", "ampkey -k ACLC -w +25", kRoot, "", ""},
      {"", "ampkey -k ACLC -r", kOrdinaryUser, "ACLC: 25\n", ""},
      {"not-privileged ACLC 6", "ampkey -k ACLC -w 04", kRoot, "",
       "SMC ACLC command 6: permission denied by SMC (root access may be "
       "insufficient) (IOKit 0xe00002c1, SMC 0)\n"},
      {"refuse-open", "ampkey -k ACLC", kRoot, "",
       "Cannot open AppleSMC (IOKit -536870207); use the privileged helper\n"},
      // A success code without a connection is no success.
      {"refuse-open 0", "ampkey -k ACLC", kRoot, "",
       "Cannot open AppleSMC (IOKit 0); use the privileged helper\n"},
      {"disconnect ACLC 5", "ampkey -k ACLC", kRoot, "",
       "SMC ACLC command 5: request failed (IOKit 0xe00002ed, SMC 0)\n"},
      {"", "ampctl daemon", kOrdinaryUser, "",
       "Permission denied: use the Ampervale privileged helper\n"},
      {"", "ampctl limit 80", kRoot, "",
       "Charge daemon not running; prepare the helper backends\n"},
  };
  Sandbox sandbox;
  bool simulating = false;
  for (const auto& c : cases) {
    if (c.fault && !simulating) sandbox.StartSimulator();
    simulating = simulating || c.fault;
    if (c.fault) sandbox.Simulator({"fault", "--clear"});
    if (c.fault && *c.fault) {
      std::vector<std::string> fault = Words(std::string("fault ") + c.fault);
      ASSERT_EQ(0, sandbox.Simulator(fault).status) << c.fault;
    }
    ProcessResult result = sandbox.Run(Words(c.command), c.uid);
    EXPECT_EQ(c.out, result.out) << c.command;
    EXPECT_EQ(c.err, result.err) << c.command;
    EXPECT_EQ(*c.err ? 1 : 0, result.status) << c.command;
  }
  EXPECT_EQ("25\n", sandbox.Simulator({"key", "ACLC"}).out);
  EXPECT_EQ("64000000\n", sandbox.Simulator({"key", "bfD0"}).out);
  EXPECT_FALSE(std::filesystem::exists(
      sandbox.library() + "/Application Support/Ampervale/run/policy.json"));
}

}  // namespace
}  // namespace ampervale::e2e
