#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/e2e/process.h"
#include "tests/e2e/sandbox.h"

namespace ampervale::e2e {
namespace {

namespace fs = std::filesystem;

const char kRun[] = "/Application Support/Ampervale/run";

// Waits for an event the daemon brings about within a few passes.
bool Eventually(const std::function<bool()>& happened) {
  for (int attempt = 0; attempt < 300; ++attempt) {
    if (happened()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return happened();
}

class AmpctlEndToEnd : public ::testing::Test {
 protected:
  std::string File(const std::string& name) {
    return ReadWholeFile(sandbox_.library() + kRun + "/" + name);
  }
  std::string Key(const std::string& key) {
    return sandbox_.Simulator({"key", key}).out;
  }
  // Starts the daemon and waits for its first heartbeat.
  pid_t StartDaemon() {
    pid_t daemon = sandbox_.Start("ampctl", {"daemon"});
    EXPECT_TRUE(Eventually([&] { return !File("health.json").empty(); }))
        << sandbox_.BackgroundErr(daemon);
    return daemon;
  }
  ProcessResult Ampctl(const std::vector<std::string>& arguments,
                       uid_t uid = kRoot) {
    return sandbox_.Run("ampctl", arguments, uid);
  }

  Sandbox sandbox_;
};

TEST_F(AmpctlEndToEnd, OrdinaryUserGetsCapabilitiesButNothingPrivileged) {
  sandbox_.StartSimulator();
  ProcessResult report = Ampctl({"capabilities"}, kOrdinaryUser);
  EXPECT_EQ(0, report.status) << report.err;
  EXPECT_NE(std::string::npos, report.out.find("\"effectiveUID\": 1000"));
  EXPECT_NE(std::string::npos, report.out.find("\"chargeMode\": \"firmware\""));
  ProcessResult refused = Ampctl({"daemon"}, kOrdinaryUser);
  EXPECT_EQ(1, refused.status);
  EXPECT_EQ("Permission denied: use the Ampervale privileged helper\n",
            refused.err);
  EXPECT_FALSE(fs::exists(sandbox_.library() + kRun));
}

// The job description is checked by another property list reader.
TEST_F(AmpctlEndToEnd, InstallOnlyFromTheInstalledPath) {
  sandbox_.InstallAmpctl();
  fs::create_directories(sandbox_.library() + "/LaunchDaemons");
  fs::create_directories(sandbox_.library() + "/elsewhere");
  fs::create_symlink(kInstalledAmpctl,
                     sandbox_.library() + "/elsewhere/ampctl");
  std::string job = sandbox_.library() + "/LaunchDaemons/chargelimitd.plist";
  ProcessResult refused =
      sandbox_.Run("/Library/elsewhere/ampctl", {"install"});
  EXPECT_EQ("Install the bundled backend through Ampervale's helper first\n",
            refused.err);
  EXPECT_FALSE(fs::exists(job));
  ProcessResult installed =
      sandbox_.Run("/Library/Application Support/Ampervale/bin/../bin/ampctl",
                   {"install", "--allow-non-root-access"});
  EXPECT_EQ("Native charging daemon configured at the existing backend path\n",
            installed.out)
      << installed.err;
  struct stat status {};
  ASSERT_EQ(0, stat(job.c_str(), &status));
  EXPECT_EQ(0644u, status.st_mode & 07777);
  ProcessResult read = RunToCompletion(
      {"python3", "-c",
       "import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); "
       "print(sorted((k, type(v).__name__, v) for k, v in d.items()))",
       job},
      job + ".read");
  EXPECT_EQ(
      "[('KeepAlive', 'bool', True), ('Label', 'str', 'chargelimitd'), "
      "('ProgramArguments', 'list', ['/Library/Application "
      "Support/Ampervale/bin/ampctl', 'daemon']), ('RunAtLoad', 'bool', "
      "True), ('ThrottleInterval', 'int', 5)]\n",
      read.out)
      << read.err;
}

TEST_F(AmpctlEndToEnd, DaemonEnforcesTheLimitAndCommandsDriveTheHardware) {
  sandbox_.StartSimulator();
  ProcessResult early = Ampctl({"limit", "80"});
  EXPECT_EQ("Charge daemon not running; prepare the helper backends\n",
            early.err);
  EXPECT_EQ("", File("policy.json"));

  pid_t daemon = StartDaemon();
  ProcessResult second = Ampctl({"daemon"});
  EXPECT_EQ(1, second.status);
  EXPECT_EQ("Backend daemon is already running\n", second.err);

  ProcessResult limit = Ampctl({"limit", "80"});
  EXPECT_EQ("Hardware operation verified\n", limit.out) << limit.err;
  EXPECT_EQ("50000000\n", Key("bfD0"));
  EXPECT_EQ("4f000000\n", Key("bfE0"));
  EXPECT_EQ("02\n", Key("bfF0"));
  EXPECT_EQ(R"({"upperLimit":80,"restoreChargingRequested":false})",
            File("policy.json"));
  EXPECT_EQ("Charge backend ready (firmware); limit: 80\n",
            Ampctl({"status"}).out);

  // Someone else switches the limiter off; the daemon puts it back.
  sandbox_.Simulator({"set-key", "bfF0", "00"});
  EXPECT_TRUE(Eventually([&] { return Key("bfF0") == "02\n"; }));

  ProcessResult disable = Ampctl({"disable"});
  EXPECT_EQ("Hardware operation verified\n", disable.out) << disable.err;
  EXPECT_EQ("00\n", Key("bfF0"));
  EXPECT_EQ(R"({"restoreChargingRequested":false})", File("policy.json"));
  EXPECT_EQ("Charge backend ready (firmware); limit: disabled\n",
            Ampctl({"status"}).out);
  EXPECT_EQ("", sandbox_.BackgroundErr(daemon));
}

TEST_F(AmpctlEndToEnd, ConcurrentCommandsBesideTheDaemonAllComplete) {
  sandbox_.StartSimulator();
  StartDaemon();
  std::vector<pid_t> commands;
  for (int limit = 60; limit < 70; ++limit) {
    commands.push_back(
        sandbox_.Start("ampctl", {"limit", std::to_string(limit)}));
  }
  for (pid_t command : commands) EXPECT_EQ(0, WaitFor(command));
  std::string stored = File("policy.json");
  int limit = std::stoi(stored.substr(stored.find(':') + 1));
  EXPECT_LE(60, limit);
  EXPECT_GT(70, limit);
  EXPECT_EQ(R"({"upperLimit":)" + std::to_string(limit) +
                R"(,"restoreChargingRequested":false})",
            stored);
  char expected[16];
  std::snprintf(expected, sizeof expected, "%02x000000\n", limit);
  EXPECT_EQ(expected, Key("bfD0"));
}

}  // namespace
}  // namespace ampervale::e2e
