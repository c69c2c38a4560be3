#include "daemon/sleep_watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <sstream>

#include "control/fake_smc_access.h"
#include "daemon/daemon_loop.h"
#include "platform/io_return.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;
using Action = SleepPlan::Action;
using Kind = platform::PowerNotice::Kind;
using Script = std::deque<std::pair<double, std::optional<Kind>>>;

// Mode x limit x level x adapter: what is done before the sleep, and
// whether the battery was read for it.
TEST(SleepPlanTest, DecidesBeforeEverySleep) {
  static const struct {
    Mode mode;
    std::optional<int64_t> limit, level;
    bool cutOff;
    double rate;
    Action action;
    double wakeAfter;
  } cases[] = {
      {Mode::firmware, 80, 40, false, 102, Action::kNothing, 0},
      {Mode::legacyPair, {}, 40, false, 102, Action::kNothing, 0},
      {Mode::legacySingle, 80, 40, true, 102, Action::kNothing, 0},
      {Mode::legacyPair, 80, 40, false, 102, Action::kWake, 39 * 3600 / 102.},
      {Mode::legacySingle, 80, 59, false, 50, Action::kWake, 20 * 3600 / 50.},
      {Mode::legacyPair, 80, 78, false, 102, Action::kInhibit, 0},  // < 60 s
      {Mode::legacyPair, 80, 78, false, 50, Action::kWake, 72},
      {Mode::legacySingle, 80, 79, false, 20, Action::kInhibit, 0},
      {Mode::legacyPair, 80, 95, false, 102, Action::kInhibit, 0},
      {Mode::legacySingle, 80, {}, false, 102, Action::kInhibit, 0},
  };
  for (const auto& c : cases) {
    int reads = 0;
    SleepPlan plan = PlanSleep(
        {c.mode, c.limit, c.cutOff, [&] { return ++reads, c.level; }}, c.rate);
    std::string row = std::to_string(&c - cases);
    EXPECT_EQ(c.action, plan.action) << row;
    EXPECT_NEAR(c.wakeAfter, plan.wakeAfter, 1e-6) << row;
    EXPECT_EQ(c.action == Action::kNothing ? 0 : 1, reads) << row;
  }
}

// From a booking at 40 for 1376 s: what the estimate becomes.
TEST(ChargeRateTest, LearnsOnlyFromWakesThatWereItsOwn) {
  static const struct {
    const char* name;
    std::optional<double> wall;  // seconds asleep by the wall clock
    std::optional<int64_t> after;
    bool sleepsAgain;  // false: the machine came fully awake
    double perHour;
  } cases[] = {
      {"own wake", {}, 59, true, 1.1 * 20 / 1376 * 3600},
      {"fully awake", {}, 59, false, 102},
      {"drained", {}, 38, true, 102},
      {"wall clock says early", 344, 49, true, 102},
      {"never below half", {}, 41, true, 51},
  };
  for (const auto& c : cases) {
    ChargeRate rate;
    rate.Booked(40, 1376);
    rate.Woke(c.wall);
    rate.LevelAfterWake(c.after);
    c.sleepsAgain ? rate.SleepsAgain() : rate.Reset();
    EXPECT_NEAR(c.perHour, rate.perHour(), 1e-9) << c.name;
  }
}

// Adds `entry` to a log written as "a, b, c".
void Note(std::string& log, const std::string& entry) {
  log += (log.empty() ? "" : ", ") + entry;
}

// Power notices from a script: each arrives at its time on the loop's
// clock; a step without a kind breaks the connection. What the daemon does
// with them goes to the shared log.
struct ScriptedNotices : platform::PowerNotices {
  ScriptedNotices(Script steps, double* now, std::string* notes, int32_t code)
      : script(std::move(steps)), clock(now), log(notes), bookCode(code) {}
  Script script;
  double* clock;
  std::string* log;
  int32_t bookCode;
  uint32_t id = 0;
  bool gone = false;

  std::optional<platform::PowerNotice> Wait(double seconds) override {
    if (script.empty() || script.front().first > *clock + seconds) {
      return *clock += seconds, std::nullopt;
    }
    *clock = std::max(*clock, script.front().first);
    std::optional<Kind> kind = script.front().second;
    script.pop_front();
    if ((gone = !kind)) return {};
    return platform::PowerNotice{*kind, ++id};
  }
  void AllowSleep(uint32_t n) override { Log("allow " + std::to_string(n)); }
  int32_t BookWake(double seconds) override {
    Log("book " + std::to_string(std::lround(seconds)));
    return bookCode;
  }
  int32_t CancelWake() override { return Log("cancel"), 0; }
  bool broken() const override { return gone; }
  void Log(const std::string& entry) { Note(*log, entry); }
};

// The loop around sleep and wake, on a legacy machine with the limit 80:
// the log has each pass, the SMC writes and the answers to the notices.
TEST(SleepWatchTest, AnswersNoticesBetweenPasses) {
  const Script kNight{{1, Kind::kWillSleep}, {1.5, Kind::kHasWoken}},
      kDuringPass{{0, Kind::kWillSleep}, {0.5, Kind::kHasWoken}},
      kNoWake{{1, Kind::kWillSleep}}, kBreak{{1, {}}}, kNone;
  const struct {
    const char* name;
    Mode mode;
    int64_t level;
    Script script;
    const char* log;
    int passes = 3;
    double clock = 5.5;  // when the last wait ended
    int32_t bookCode = 0;
    bool registers = true;
  } cases[] = {
      {"a notice during a pass is answered after it", Mode::legacySingle, 40,
       kDuringPass, "pass, book 1376, allow 1, cancel, pass, pass", 3, 4.5},
      {"inhibits one below the limit", Mode::legacyPair, 79, kNight,
       "pass, write CH0B 02, write CH0C 02, allow 1, pass, write CH0B 00, "
       "write CH0C 00, pass"},
      {"a failed booking inhibits", Mode::legacySingle, 40, kNight,
       "pass, book 1376, write CHTE 01 00 00 00, allow 1, pass, "
       "write CHTE 00 00 00 00, pass",
       3, 5.5, platform::kIOCodeNotResponding},
      {"firmware: no wake, no write", Mode::firmware, 40, kNight,
       "pass, allow 1, pass, pass"},
      {"no wake notice: passes resume after a minute", Mode::firmware, 40,
       kNoWake, "pass, allow 1, pass", 2, 63},
      {"broken: dropped, the rhythm kept, registered again quietly",
       Mode::legacyPair, 40, kBreak, "pass x17, registered x2", 17, 34},
      {"refused: one line, the rhythm kept, tried again quietly",
       Mode::legacyPair, 40, kNone, "pass x16, registered x2", 16, 32, 0,
       false},
  };
  for (const auto& c : cases) {
    double clock = 0;
    std::string log;
    std::ostringstream err;
    auto smc = std::make_shared<FakeSMCAccess>(FakeMachineKeys(c.mode));
    int passes = 0, registrations = 0;
    auto registerPower = [&] {
      platform::PowerRegistration registration{nullptr, "no channel"};
      if (++registrations, c.registers) {
        registration.notices = std::make_unique<ScriptedNotices>(
            registrations == 1 ? c.script : Script{}, &clock, &log, c.bookCode);
      }
      return registration;
    };
    auto logWrites = [&] {
      for (const std::string& entry : smc->log()) {
        if (entry.starts_with("write")) Note(log, entry);
      }
      smc->clearLog();
    };
    DaemonLoop loop(
        std::make_shared<NativePowerController>(smc),
        {.now = [&] { return clock; },
         .wallClock = [] { return 0.0; },
         .sleep = [&](double seconds) { clock += seconds; },
         .registerPower = registerPower,
         .batteryPercentage = [&] { return std::optional(c.level); },
         .openSMC = {},
         .err = &err},
        [&](NativePowerController& current, std::optional<int64_t> level) {
          Note(log, "pass"), ++passes;
          if (current.mode() != Mode::firmware) current.applyLimit(80, level);
          logWrites();
        },
        [&](const std::function<void(const NativePowerPolicy&)>& step) {
          step(NativePowerPolicy{.upperLimit = 80});
          logWrites();
        });
    loop.Start();
    for (int i = 0; i < c.passes; ++i) loop.RunOnce();
    if (c.passes > 10) {
      log = "pass x" + std::to_string(passes) + ", registered x" +
            std::to_string(registrations);
    }
    EXPECT_EQ(c.log, log) << c.name;
    EXPECT_DOUBLE_EQ(c.clock, clock) << c.name;
    std::string refused =
        "Cannot register for system sleep notices: no channel\n";
    EXPECT_EQ(c.registers ? "" : refused, err.str()) << c.name;
  }
}

}  // namespace
}  // namespace ampervale
