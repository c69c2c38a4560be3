#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "tests/e2e/process.h"
#include "tests/e2e/sandbox.h"

namespace ampervale::e2e {
namespace {

namespace fs = std::filesystem;

const char kRun[] = "/Application Support/Ampervale/run";

std::string Joined(const std::vector<std::string>& arguments) {
  std::string text;
  for (const auto& a : arguments) text += "[" + a + "]";
  return text;
}

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

TEST_F(AmpctlEndToEnd, InstallOnlyFromTheInstalledPath) {
  sandbox_.InstallAmpctl();
  fs::create_directories(sandbox_.library() + "/LaunchDaemons");
  fs::create_directories(sandbox_.library() + "/elsewhere");
  fs::create_symlink(kInstalledAmpctl,
                     sandbox_.library() + "/elsewhere/ampctl");
  const std::string kBin = "/Library/Application Support/Ampervale/bin";
  static const struct {
    std::string program;
    std::vector<std::string> arguments;
    int status;
  } cases[] = {
      {"/Library/elsewhere/ampctl", {"install"}, 1},
      {kBin + "/../bin/ampctl", {"install", "--allow-non-root-access"}, 0},
  };
  std::string job = sandbox_.library() + "/LaunchDaemons/chargelimitd.plist";
  for (const auto& c : cases) {
    ProcessResult result = sandbox_.Run(c.program, c.arguments);
    EXPECT_EQ(c.status, result.status) << c.program << result.err;
    if (c.status == 0) {
      EXPECT_EQ(
          "Native charging daemon configured at the existing backend path\n",
          result.out);
      struct stat status {};
      ASSERT_EQ(0, stat(job.c_str(), &status));
      EXPECT_EQ(0644u, status.st_mode & 07777);
    } else {
      EXPECT_EQ(
          "Install the bundled backend through Ampervale's helper first\n",
          result.err);
      EXPECT_FALSE(fs::exists(job)) << c.program;
    }
  }
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

TEST_F(AmpctlEndToEnd, DisabledAdapterComesBackOnAtThreePercent) {
  sandbox_.StartSimulator();
  StartDaemon();
  ProcessResult disable = Ampctl({"adapter", "disable"});
  EXPECT_EQ("Hardware operation verified\n", disable.out) << disable.err;
  EXPECT_EQ("08\n", Key("CHIE"));
  EXPECT_EQ("Power adapter is disabled\n", Ampctl({"adapter", "status"}).out);

  sandbox_.Simulator({"battery", "3"});
  EXPECT_TRUE(Eventually([&] { return Key("CHIE") == "00\n"; }));
  EXPECT_TRUE(Eventually(
      [&] { return File("policy.json") == R"({"adapterEnabled":true})"; }));
  ProcessResult refused = Ampctl({"adapter", "disable"});
  EXPECT_EQ(
      "Cannot disable adapter power without valid battery data above 3%\n",
      refused.err);
}

TEST_F(AmpctlEndToEnd, InvalidPolicyIsReportedAndTouchesNoHardware) {
  sandbox_.StartSimulator();
  pid_t daemon = StartDaemon();
  sandbox_.Simulator({"clear-writes"});
  std::string policy = sandbox_.library() + kRun + "/policy.json";
  std::ofstream(policy) << R"({"upperLimit":100})";
  EXPECT_TRUE(Eventually([&] {
    return File("health.json")
               .find("\"error\":\"Invalid stored charge limit\"") !=
           std::string::npos;
  }));
  EXPECT_TRUE(Eventually([&] {
    return sandbox_.BackgroundErr(daemon) == "Invalid stored charge limit\n";
  }));
  EXPECT_EQ("Invalid stored charge limit\n", Ampctl({"status"}).err);
  EXPECT_NE(std::string::npos,
            sandbox_.Simulator({"state"}).out.find("\"writes\": []"))
      << sandbox_.Simulator({"state"}).out;
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

// Any argument list ends in exit 0 or 1 with one line of text.
TEST_F(AmpctlEndToEnd, RandomArgumentListsNeverCrash) {
  sandbox_.StartSimulator();
  const std::vector<std::string> words = {"limit",
                                          "80",
                                          "101",
                                          "status",
                                          "adapter",
                                          "enable",
                                          "disable",
                                          "magsafe-led",
                                          "green",
                                          "--config",
                                          "--log-level",
                                          "-h",
                                          "version",
                                          "install",
                                          "",
                                          "\xff\xfe",
                                          "restore-system-charging",
                                          "capabilities",
                                          std::string(5000, 'x'),
                                          "daemon"};
  std::mt19937 random(20261206);
  for (int run = 0; run < 40; ++run) {
    std::vector<std::string> arguments(random() % 5);
    for (auto& word : arguments) word = words[random() % words.size()];
    if (arguments == std::vector<std::string>{"daemon"}) continue;
    ProcessResult result = Ampctl(arguments, run % 2 ? kRoot : kOrdinaryUser);
    std::string text = result.out.empty() ? result.err : result.out;
    ASSERT_TRUE(result.status == 0 || result.status == 1)
        << Joined(arguments) << result.err;
    if (result.status == 1) {
      EXPECT_EQ("", result.out) << Joined(arguments);
      EXPECT_EQ(text.size() - 1, text.find('\n')) << Joined(arguments);
    }
  }
}

}  // namespace
}  // namespace ampervale::e2e
