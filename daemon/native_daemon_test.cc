#include "daemon/native_daemon.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "control/fake_smc_access.h"
#include "store/test_support.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;

// Passes over a real runtime directory and an in-memory SMC.
struct Pass {
  testing::ScratchDirectory scratch;
  NativePowerStore store{scratch.path() / "run"};
  std::shared_ptr<FakeSMCAccess> smc;
  std::unique_ptr<NativePowerController> controller;

  Pass(Mode mode, const char* policy)
      : smc(std::make_shared<FakeSMCAccess>(FakeMachineKeys(mode))),
        controller(std::make_unique<NativePowerController>(smc)) {
    if (policy) testing::WriteFile(store.directory() / "policy.json", policy);
  }

  // The pass's error, "" when it worked.
  std::string Run(std::optional<int64_t> percentage) {
    smc->clearLog();
    std::string thrown = testing::ThrownText(
        [&] { NativeDaemon::tick(store, *controller, percentage); });
    return thrown == "(nothing thrown)" ? "" : thrown;
  }
  std::string File(const char* name) {
    return testing::ReadFile(store.directory() / name);
  }
};

// Each pass records its outcome in the heartbeat; a second pass writes only
// what failed in the first.
TEST(DaemonTickTest, PassesEnforceThePolicyAndRecordTheOutcome) {
  static const struct {
    const char* name;
    Mode mode;
    const char* policy;  // nullptr: no policy file
    std::optional<int64_t> percentage;
    const char* keys;    // changed after the probe
    const char* broken;  // keys whose writes fail with "KEY refused"
    const char* error;   // the start of the pass's error
    const char* written;
    const char* stored;  // nullptr: the policy as it was; "": none
  } cases[] = {
      {"no policy", Mode::firmware, nullptr, 50, "", "", "", "", ""},
      {"adapter off above 3 %", Mode::firmware, R"({"adapterEnabled":false})",
       4, "", "", "", "CHIE 08", nullptr},
      {"adapter off at 3 % is switched back on", Mode::firmware,
       R"({"adapterEnabled":false})", 3, "CHIE 08", "", "", "CHIE 00",
       R"({"adapterEnabled":true})"},
      {"adapter off with no battery data", Mode::firmware,
       R"({"adapterEnabled":false})", std::nullopt, "", "", "", "",
       R"({"adapterEnabled":true})"},
      {"adapter cannot be switched back on", Mode::firmware,
       R"({"adapterEnabled":false})", 3, "CHIE 08", "CHIE",
       "Adapter: CHIE refused", "CHIE 00", nullptr},
      {"legacy limit without a level still sets the LED", Mode::legacyPair,
       R"({"upperLimit":80,"ledMode":"green"})", std::nullopt, "", "",
       "Charging: Waiting for a valid battery percentage; hardware state was "
       "preserved",
       "ACLC 03", nullptr},
      {"restore request is carried out and cleared", Mode::firmware,
       R"({"restoreChargingRequested":true})", 50, "bfF0 02", "", "", "bfF0 00",
       R"({"restoreChargingRequested":false})"},
      {"adapter and LED both fail", Mode::firmware,
       R"({"adapterEnabled":true,"ledMode":"amber"})", 50, "CHIE 08",
       "CHIE ACLC", "Adapter: CHIE refused | MagSafe: ACLC refused",
       "CHIE 00, ACLC 04", nullptr},
      {"threshold bfE0 changed behind the daemon's back; the LED after",
       Mode::firmware, R"({"upperLimit":80,"ledMode":"amber"})", 50,
       "bfF0 02, bfD0 50 00 00 00, bfE0 4e 00 00 00", "", "",
       "bfF0 00, bfE0 4f 00 00 00, bfF0 02, ACLC 04", nullptr},
      // Recorded in the heartbeat, so that status reports it.
      {"undecodable policy", Mode::firmware, "{\"upperLimit\":", 50, "", "",
       "Cannot decode ", "", nullptr},
      // Restoring checks the machine as it is now, not as it was probed.
      {"restore on a machine without charge control", Mode::unsupported,
       R"({"restoreChargingRequested":true})", 50, "", "",
       "Charging: Charging control unavailable. bfF0: ", "", nullptr},
      {"restore after a key changed its width", Mode::firmware,
       R"({"restoreChargingRequested":true})", 50, "bfF0 02, bfE0 4f 00", "",
       "Charging: Charging key bfE0 changed payload width to 2, expected 4; "
       "hardware state was preserved",
       "", nullptr},
  };
  for (const auto& c : cases) {
    Pass pass(c.mode, c.policy);
    for (auto& [key, bytes] : KeysFromText(c.keys)) pass.smc->set(key, bytes);
    std::istringstream broken(c.broken);
    for (std::string key; broken >> key;)
      pass.smc->failWrite(key, key + " refused");
    double start = NowSinceReferenceDate();
    std::string error = pass.Run(c.percentage);
    // An expected error may be only the start of the actual one.
    EXPECT_EQ(c.error, *c.error ? error.substr(0, std::strlen(c.error)) : error)
        << c.name;
    EXPECT_EQ(c.written, pass.smc->writtenText()) << c.name;
    NativeDaemonHealth heartbeat = DecodeHealth(pass.File("health.json"));
    EXPECT_EQ(getpid(), heartbeat.pid) << c.name;
    EXPECT_LE(start, heartbeat.timestamp) << c.name;
    EXPECT_EQ(error.empty() ? std::nullopt : std::optional(error),
              heartbeat.error)
        << c.name;
    EXPECT_EQ(c.stored ? c.stored : c.policy, pass.File("policy.json"))
        << c.name;
    EXPECT_EQ(error, pass.Run(c.percentage)) << c.name << ", again";
    EXPECT_EQ(*c.broken ? c.written : "", pass.smc->writtenText())
        << c.name << ", again";
    EXPECT_TRUE(c.policy || pass.smc->log().empty()) << c.name << ": SMC used";
  }
}

// A directory put in the runtime directory's place is reported, whether the
// pass worked or not, and the daemon keeps to the one it holds.
TEST(DaemonTickTest, ASwappedDirectoryIsReportedNotFollowed) {
  for (const char* policy : {R"({"upperLimit":80})", "{undecodable"}) {
    Pass pass(Mode::firmware, policy);
    const std::filesystem::path run = pass.store.directory();
    const std::filesystem::path moved = run.parent_path() / "moved";
    std::filesystem::rename(run, moved);
    std::filesystem::create_directory(run);
    EXPECT_EQ(
        "Backend runtime directory was moved or replaced: " + run.native(),
        pass.Run(50))
        << policy;
    EXPECT_TRUE(std::filesystem::exists(moved / "health.json")) << policy;
    EXPECT_TRUE(std::filesystem::is_empty(run)) << policy;
  }
}

}  // namespace
}  // namespace ampervale
