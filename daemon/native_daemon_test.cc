#include "daemon/native_daemon.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "control/fake_smc_access.h"
#include "store/test_support.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;
using testing::ReadFile;
using testing::ThrownText;
using testing::WriteFile;

// One pass over a real runtime directory and an in-memory SMC.
struct Pass {
  testing::ScratchDirectory scratch;
  NativePowerStore store{scratch.path() / "run"};
  std::shared_ptr<FakeSMCAccess> smc;
  std::unique_ptr<NativePowerController> controller;

  explicit Pass(Mode mode, const char* policy = nullptr,
                std::string_view adapterKey = "CHIE")
      : smc(std::make_shared<FakeSMCAccess>(
            FakeMachineKeys(mode, adapterKey))) {
    if (policy) WriteFile(store.directory() / "policy.json", policy);
    controller = std::make_unique<NativePowerController>(smc);
    smc->clearLog();
  }

  // The pass's error, "" when it worked.
  std::string Run(std::optional<int64_t> percentage) {
    std::string thrown =
        ThrownText([&] { NativeDaemon::tick(store, *controller, percentage); });
    return thrown == "(nothing thrown)" ? "" : thrown;
  }

  NativeDaemonHealth Heartbeat() {
    return DecodeHealth(ReadFile(store.directory() / "health.json"));
  }
  std::string Policy() { return ReadFile(store.directory() / "policy.json"); }
};

TEST(DaemonTickTest, PassesRecordTheirOutcomeInTheHeartbeat) {
  static const struct {
    const char* name;
    Mode mode;
    const char* policy;
    std::optional<int64_t> percentage;
    std::function<void(FakeSMCAccess&)> arrange;
    const char* error;
    std::vector<std::string> writes;
    const char* storedPolicy;  // nullptr: as it was
  } cases[] = {
      {"no policy", Mode::firmware, nullptr, 50, nullptr, "", {}, nullptr},
      {"stored limit of 100",
       Mode::firmware,
       R"({"upperLimit":100})",
       50,
       nullptr,
       "Invalid stored charge limit",
       {},
       nullptr},
      {"adapter off above 3 %",
       Mode::firmware,
       R"({"adapterEnabled":false})",
       4,
       nullptr,
       "",
       {"write CHIE 08"},
       nullptr},
      {"adapter off at 3 % is switched back on",
       Mode::firmware,
       R"({"adapterEnabled":false})",
       3,
       [](FakeSMCAccess& s) { s.set("CHIE", {0x08}); },
       "",
       {"write CHIE 00"},
       R"({"adapterEnabled":true})"},
      {"adapter off with no battery data",
       Mode::firmware,
       R"({"adapterEnabled":false})",
       std::nullopt,
       nullptr,
       "",
       {},
       R"({"adapterEnabled":true})"},
      {"adapter cannot be switched back on",
       Mode::firmware,
       R"({"adapterEnabled":false})",
       3,
       [](FakeSMCAccess& s) {
         s.set("CHIE", {0x08});
         s.failWrite("CHIE", "SMC CHIE failed");
       },
       "Adapter: SMC CHIE failed",
       {"write CHIE 00"},
       nullptr},
      {"legacy limit without a level still sets the LED",
       Mode::legacyPair,
       R"({"upperLimit":80,"ledMode":"green"})",
       std::nullopt,
       nullptr,
       "Charging: Waiting for a valid battery percentage; hardware state was "
       "preserved",
       {"write ACLC 03"},
       nullptr},
      {"restore request is carried out and cleared",
       Mode::firmware,
       R"({"restoreChargingRequested":true})",
       50,
       [](FakeSMCAccess& s) { s.set("bfF0", {0x02}); },
       "",
       {"write bfF0 00"},
       R"({"restoreChargingRequested":false})"},
      {"adapter and LED both fail",
       Mode::firmware,
       R"({"adapterEnabled":true,"ledMode":"amber"})",
       50,
       [](FakeSMCAccess& s) {
         s.set("CHIE", {0x08});
         s.failWrite("CHIE", "A");
         s.failRead("ACLC", "L");
       },
       "Adapter: A | MagSafe: L",
       {"write CHIE 00"},
       nullptr},
      {"limit on a machine without charge control",
       Mode::unsupported,
       R"({"upperLimit":80})",
       50,
       nullptr,
       "Charging: Charging control unavailable. bfF0: ",
       {},
       nullptr},
  };
  for (const auto& c : cases) {
    Pass pass(c.mode, c.policy);
    if (c.arrange) c.arrange(*pass.smc);
    std::string before = c.policy ? pass.Policy() : "";
    double start = NowSinceReferenceDate();
    std::string error = pass.Run(c.percentage);

    NativeDaemonHealth heartbeat = pass.Heartbeat();
    EXPECT_EQ(getpid(), heartbeat.pid) << c.name;
    EXPECT_LE(start, heartbeat.timestamp) << c.name;
    EXPECT_EQ(error.empty() ? std::nullopt : std::optional(error),
              heartbeat.error)
        << c.name;
    if (c.error) {
      EXPECT_EQ(0u, error.find(c.error)) << c.name << ": " << error;
    }
    EXPECT_EQ(c.writes, pass.smc->writes()) << c.name;
    if (c.policy) {
      EXPECT_EQ(c.storedPolicy ? c.storedPolicy : before, pass.Policy())
          << c.name;
    }
  }
}

TEST(DaemonTickTest, NoPolicyMeansNoSMCAccess) {
  Pass pass(Mode::firmware);
  EXPECT_EQ("", pass.Run(50));
  EXPECT_EQ(std::vector<std::string>{}, pass.smc->log());
}

TEST(DaemonTickTest, SteadyStateWritesNothing) {
  Pass pass(Mode::firmware, R"({"upperLimit":80,"adapterEnabled":true,)"
                            R"("ledMode":"amber"})");
  EXPECT_EQ("", pass.Run(50));
  pass.smc->clearLog();
  for (int i = 0; i < 3; ++i) EXPECT_EQ("", pass.Run(50));
  EXPECT_EQ(std::vector<std::string>{}, pass.smc->writes());
}

TEST(DaemonTickTest, ClearedRestoreIsNotRepeated) {
  Pass pass(Mode::firmware, R"({"restoreChargingRequested":true})");
  EXPECT_EQ("", pass.Run(50));
  pass.smc->clearLog();
  EXPECT_EQ("", pass.Run(50));
  EXPECT_EQ(std::vector<std::string>{}, pass.smc->log());
}

TEST(DaemonTickTest, UnusablePolicyLockTouchesNothing) {
  Pass pass(Mode::firmware, R"({"upperLimit":80})");
  std::filesystem::create_symlink("/nonexistent",
                                  pass.store.directory() / "policy.lock");
  EXPECT_EQ("Cannot open backend lock", pass.Run(50));
  EXPECT_FALSE(std::filesystem::exists(pass.store.directory() / "health.json"));
  EXPECT_EQ(std::vector<std::string>{}, pass.smc->log());
}

}  // namespace
}  // namespace ampervale
