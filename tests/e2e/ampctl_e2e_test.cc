#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/e2e/sandbox.h"

namespace ampervale::e2e {
namespace {

namespace fs = std::filesystem;

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

}  // namespace
}  // namespace ampervale::e2e
