#include "daemon/daemon_loop.h"

#include <gtest/gtest.h>

#include <sstream>

#include "common/native_control_error.h"
#include "control/fake_smc_access.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;

// A loop whose clock moves only when it sleeps, whose passes fail as the
// test says, and which records when it opened the SMC.
struct ScriptedLoop {
  double clock = 0;
  std::ostringstream err;
  std::vector<double> opens;
  bool smcOpens = false;
  std::string failure;  // "" or "-": the pass succeeds
  DaemonLoop loop{
      std::make_shared<NativePowerController>(
          std::make_shared<FakeSMCAccess>()),
      {.now = [this] { return clock; },
       .sleep = [this](double seconds) { clock += seconds; },
       .batteryPercentage = [] { return std::optional<int64_t>(57); },
       .openSMC = [this]() -> std::shared_ptr<NativeSMCAccess> {
         opens.push_back(clock);
         if (!smcOpens) throw NativeControlError("AppleSMC is unavailable");
         return std::make_shared<FakeSMCAccess>(
             FakeMachineKeys(Mode::firmware));
       },
       .err = &err},
      [this](NativePowerController&, auto) {
        if (failure != "-") throw NativeControlError(failure);
      }};
};

// Passes run every two seconds; the controller is rebuilt after failures
// with a delay that doubles up to a minute and starts over after a success,
// and replaced only when the SMC opens.
TEST(DaemonLoopTest, ReportsChangesAndBacksOff) {
  static const struct {
    std::string passes;  // one word a pass: its error, or "-" for success
    const char* reported;
    std::vector<double> opens;
    int rounds = 1;  // how often the passes run
    bool smcOpens = false;
  } cases[] = {
      {"A A A A A", "A\n", {0, 2, 6}},
      {"A B A", "A\nB\nA\n", {0, 2}},
      {"A A A A - A A A", "A\nA\n", {0, 2, 6, 10, 12}},
      {"A", "A\n", {0, 2, 6, 14, 30, 62, 122, 182, 242}, 125},
      {"A", "A\n", {0}, 1, true},
  };
  for (const auto& c : cases) {
    ScriptedLoop script;
    script.smcOpens = c.smcOpens;
    int count = 0;
    for (int round = 0; round < c.rounds; ++round) {
      std::istringstream passes(c.passes);
      for (; passes >> script.failure; ++count) script.loop.RunOnce();
    }
    EXPECT_EQ(c.reported, script.err.str()) << c.passes;
    EXPECT_EQ(c.opens, script.opens) << c.passes;
    EXPECT_EQ(2.0 * count, script.clock) << c.passes;
    EXPECT_EQ(c.smcOpens ? Mode::firmware : Mode::unsupported,
              script.loop.controller()->mode())
        << c.passes;
  }
}

}  // namespace
}  // namespace ampervale
