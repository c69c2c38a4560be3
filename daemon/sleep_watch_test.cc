#include "daemon/sleep_watch.h"

#include <gtest/gtest.h>

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

// Mode x limit x level x adapter: what is done before the sleep, and
// whether the battery was read for it.
TEST(SleepPlanTest, DecidesBeforeEverySleep) {
  static const struct {
    const char* name;
    Mode mode;
    std::optional<int64_t> limit;
    bool cutOff;
    std::optional<int64_t> level;
    double rate;
    Action action;
    double wakeAfter;
    bool read;
  } cases[] = {
      {"firmware holds its own limit", Mode::firmware, 80, false, 40, 102,
       Action::kNothing, 0, false},
      {"no limit",
       Mode::legacyPair,
       {},
       false,
       40,
       102,
       Action::kNothing,
       0,
       false},
      {"adapter cut off", Mode::legacySingle, 80, true, 40, 102,
       Action::kNothing, 0, false},
      {"unsupported", Mode::unsupported, 80, false, 40, 102, Action::kNothing,
       0, false},
      {"far below", Mode::legacyPair, 80, false, 40, 102, Action::kWake,
       39 * 3600 / 102.0, true},
      {"learned rate", Mode::legacySingle, 80, false, 59, 50, Action::kWake,
       20 * 3600 / 50.0, true},
      {"wake too short to book", Mode::legacyPair, 80, false, 78, 102,
       Action::kInhibit, 0, true},
      {"two below at a slower rate", Mode::legacyPair, 80, false, 78, 50,
       Action::kWake, 72, true},
      {"one below", Mode::legacySingle, 80, false, 79, 20, Action::kInhibit, 0,
       true},
      {"at the limit", Mode::legacyPair, 80, false, 80, 102, Action::kInhibit,
       0, true},
      {"above", Mode::legacyPair, 80, false, 95, 102, Action::kInhibit, 0,
       true},
      {"level unreadable",
       Mode::legacySingle,
       80,
       false,
       {},
       102,
       Action::kInhibit,
       0,
       true},
  };
  for (const auto& c : cases) {
    int reads = 0;
    SleepPlan plan = PlanSleep({c.mode, c.limit, c.cutOff,
                                [&] {
                                  ++reads;
                                  return c.level;
                                }},
                               c.rate);
    EXPECT_EQ(c.action, plan.action) << c.name;
    EXPECT_NEAR(c.wakeAfter, plan.wakeAfter, 1e-6) << c.name;
    EXPECT_EQ(c.read ? 1 : 0, reads) << c.name;
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
      {"unreadable", {}, {}, true, 102},
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

// Power notices from a script: each arrives at its time on the loop's
// clock. What the daemon does with them goes to a shared log.
class ScriptedNotices : public platform::PowerNotices {
 public:
  struct Step {
    double at;
    std::optional<Kind> kind;  // absent: the connection breaks
  };
  ScriptedNotices(std::deque<Step> script, double& clock,
                  std::vector<std::string>& log, int32_t bookCode)
      : script_(std::move(script)),
        clock_(clock),
        log_(log),
        bookCode_(bookCode) {}

  std::optional<platform::PowerNotice> Wait(double seconds) override {
    if (script_.empty() || script_.front().at > clock_ + seconds) {
      clock_ += seconds;
      return {};
    }
    clock_ = std::max(clock_, script_.front().at);
    std::optional<Kind> kind = script_.front().kind;
    script_.pop_front();
    broken_ = !kind;
    if (!kind) return {};
    return platform::PowerNotice{*kind, ++id_};
  }
  void AllowSleep(uint32_t id) override {
    log_.push_back("allow " + std::to_string(id));
  }
  int32_t BookWake(double seconds) override {
    log_.push_back("book " + std::to_string(std::lround(seconds)));
    return bookCode_;
  }
  int32_t CancelWake() override {
    log_.push_back("cancel");
    return 0;
  }
  bool broken() const override { return broken_; }

 private:
  std::deque<Step> script_;
  double& clock_;
  std::vector<std::string>& log_;
  int32_t bookCode_;
  uint32_t id_ = 0;
  bool broken_ = false;
};

// The loop around sleep and wake, on a legacy machine with the limit 80:
// the pass logs "pass" and the SMC writes it made, the notices their
// answers, and every write before an answer is logged with it.
TEST(SleepWatchTest, AnswersNoticesBetweenPasses) {
  using Steps = std::deque<ScriptedNotices::Step>;
  static const struct {
    const char* name;
    Mode mode;
    int64_t level;
    Steps script;
    const char* log;
    int passes = 3;
    double clock = 5.5;  // when the last wait ended
    const char* err = "";
    int32_t bookCode = 0;
    bool registers = true;
  } cases[] = {
      {"books a wake below the limit",
       Mode::legacyPair,
       40,
       {{1, Kind::kWillSleep}, {1.5, Kind::kHasWoken}},
       "pass, book 1376, allow 1, cancel, pass, pass"},
      {"a notice during a pass is answered after it",
       Mode::legacySingle,
       40,
       {{0, Kind::kWillSleep}, {0.5, Kind::kHasWoken}},
       "pass, book 1376, allow 1, cancel, pass, pass",
       3,
       4.5},
      {"inhibits one below the limit",
       Mode::legacyPair,
       79,
       {{1, Kind::kWillSleep}, {1.5, Kind::kHasWoken}},
       "pass, write CH0B 02, write CH0C 02, allow 1, pass, write CH0B 00, "
       "write CH0C 00, pass"},
      {"a failed booking inhibits",
       Mode::legacySingle,
       40,
       {{1, Kind::kWillSleep}, {1.5, Kind::kHasWoken}},
       "pass, book 1376, write CHTE 01 00 00 00, allow 1, pass, "
       "write CHTE 00 00 00 00, pass",
       3,
       5.5,
       "",
       platform::kIOCodeNotResponding},
      {"firmware: no wake, no write",
       Mode::firmware,
       40,
       {{1, Kind::kWillSleep}, {1.5, Kind::kHasWoken}},
       "pass, allow 1, pass, pass"},
      {"no wake notice: passes resume after a minute",
       Mode::firmware,
       40,
       {{1, Kind::kWillSleep}},
       "pass, allow 1, pass",
       2,
       63},
      {"broken: dropped, the rhythm kept, registered again quietly",
       Mode::legacyPair,
       40,
       {{1, {}}},
       "pass x17, registered x2",
       17,
       34},
      {"refused: one line, the rhythm kept, tried again quietly",
       Mode::legacyPair,
       40,
       {},
       "pass x16, registered x2",
       16,
       32,
       "Cannot register for system sleep notices: no channel\n",
       0,
       false},
  };
  for (const auto& c : cases) {
    double clock = 0;
    std::vector<std::string> log;
    std::ostringstream err;
    auto smc = std::make_shared<FakeSMCAccess>(FakeMachineKeys(c.mode));
    auto controller = std::make_shared<NativePowerController>(smc);
    int registrations = 0;
    DaemonEnvironment environment;
    environment.now = [&] { return clock; };
    environment.wallClock = [] { return 0.0; };
    environment.sleep = [&](double seconds) { clock += seconds; };
    environment.batteryPercentage = [&] { return std::optional(c.level); };
    environment.err = &err;
    environment.registerPower = [&] {
      platform::PowerRegistration registration;
      ++registrations;
      if (!c.registers) registration.failure = "no channel";
      if (c.registers) {
        registration.notices = std::make_unique<ScriptedNotices>(
            registrations == 1 ? c.script : Steps{}, clock, log, c.bookCode);
      }
      return registration;
    };
    auto logWrites = [&] {
      for (const std::string& entry : smc->log()) {
        if (entry.starts_with("write")) log.push_back(entry);
      }
      smc->clearLog();
    };
    DaemonLoop loop(
        controller, environment,
        [&](NativePowerController& current, std::optional<int64_t> level) {
          log.push_back("pass");
          if (current.mode() != Mode::firmware) current.applyLimit(80, level);
          logWrites();
        },
        [&](const std::function<void(const NativePowerPolicy&)>& step) {
          step(NativePowerPolicy{.upperLimit = 80});
          logWrites();
        });
    loop.Start();
    for (int i = 0; i < c.passes; ++i) loop.RunOnce();
    std::string text;
    for (const std::string& entry : log)
      text += (text.empty() ? "" : ", ") + entry;
    if (c.passes > 10) {
      text = "pass x" +
             std::to_string(std::count(log.begin(), log.end(), "pass")) +
             ", registered x" + std::to_string(registrations);
    }
    EXPECT_EQ(c.log, text) << c.name;
    EXPECT_DOUBLE_EQ(c.clock, clock) << c.name;
    EXPECT_EQ(c.err, err.str()) << c.name;
  }
}

}  // namespace
}  // namespace ampervale
