#include "daemon/daemon_loop.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

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
  std::vector<std::optional<int64_t>> percentages;
  std::optional<std::string> nextFailure;

  DaemonLoop Make() {
    DaemonEnvironment environment;
    environment.now = [this] { return clock; };
    environment.sleep = [this](double seconds) { clock += seconds; };
    environment.batteryPercentage = [] { return std::optional<int64_t>(57); };
    environment.openSMC = [this]() -> std::shared_ptr<NativeSMCAccess> {
      opens.push_back(clock);
      if (!smcOpens) throw NativeControlError("AppleSMC is unavailable");
      return std::make_shared<FakeSMCAccess>(FakeMachineKeys(Mode::firmware));
    };
    environment.err = &err;
    return DaemonLoop(
        Controller(), environment,
        [this](NativePowerController&, std::optional<int64_t> percentage) {
          percentages.push_back(percentage);
          if (nextFailure) throw NativeControlError(*nextFailure);
        });
  }

  static std::shared_ptr<NativePowerController> Controller() {
    return std::make_shared<NativePowerController>(
        std::make_shared<FakeSMCAccess>());
  }
};

TEST(DaemonLoopTest, ReportsAnErrorOnlyWhenItChanges) {
  static const struct {
    const char* name;
    std::vector<const char*> passes;  // nullptr: the pass succeeds
    const char* reported;
  } cases[] = {
      {"same error ten times",
       {"A", "A", "A", "A", "A", "A", "A", "A", "A", "A"},
       "A\n"},
      {"A B A", {"A", "B", "A"}, "A\nB\nA\n"},
      {"A success A", {"A", nullptr, "A"}, "A\nA\n"},
  };
  for (const auto& c : cases) {
    ScriptedLoop script;
    DaemonLoop loop = script.Make();
    for (const char* failure : c.passes) {
      script.nextFailure =
          failure ? std::optional<std::string>(failure) : std::nullopt;
      loop.RunOnce();
    }
    EXPECT_EQ(c.reported, script.err.str()) << c.name;
    EXPECT_EQ(2.0 * c.passes.size(), script.clock) << c.name;
  }
}

TEST(DaemonLoopTest, RebuildsWithABackOffThatDoublesToAMinute) {
  ScriptedLoop script;
  DaemonLoop loop = script.Make();
  script.nextFailure.emplace("Charging: broken");
  while (script.clock < 250) loop.RunOnce();
  EXPECT_EQ((std::vector<double>{0, 2, 6, 14, 30, 62, 122, 182, 242}),
            script.opens);
  // Passes still ran every two seconds in between.
  EXPECT_EQ(125u, script.percentages.size());
  EXPECT_EQ(std::optional<int64_t>(57), script.percentages.front());
}

TEST(DaemonLoopTest, SuccessResetsTheBackOff) {
  ScriptedLoop script;
  DaemonLoop loop = script.Make();
  script.nextFailure.emplace("A");
  for (int pass = 0; pass < 4; ++pass) loop.RunOnce();  // opens at 0, 2, 6
  script.nextFailure.reset();
  loop.RunOnce();  // t=8
  script.nextFailure.emplace("A");
  loop.RunOnce();  // t=10: rebuilds at once
  loop.RunOnce();  // t=12: due again after 2 seconds
  loop.RunOnce();  // t=14: not yet (next at 16)
  EXPECT_EQ((std::vector<double>{0, 2, 6, 10, 12}), script.opens);
}

TEST(DaemonLoopTest, ControllerIsReplacedOnlyWhenTheSMCOpens) {
  ScriptedLoop script;
  DaemonLoop loop = script.Make();
  auto first = loop.controller();
  script.nextFailure.emplace("A");
  loop.RunOnce();
  EXPECT_EQ(first, loop.controller());

  script.smcOpens = true;
  loop.RunOnce();
  EXPECT_NE(first, loop.controller());
  EXPECT_EQ(Mode::firmware, loop.controller()->mode());
}

}  // namespace
}  // namespace ampervale
