#include "daemon/sleep_watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <sstream>

#include "common/native_control_error.h"
#include "control/fake_smc_access.h"
#include "daemon/daemon_loop.h"
#include "platform/io_return.h"

namespace ampervale {
namespace {

using Mode = NativePowerController::Mode;
using Kind = platform::PowerNotice::Kind;
using Charging = SleepPlan::Charging;

// Mode x limit x level x adapter: what is done before a stretch asleep.
TEST(SleepPlanTest, DecidesBeforeEverySleep) {
  constexpr auto kAllow = Charging::kAllow, kInhibit = Charging::kInhibit,
                 kNone = Charging::kUntouched;
  constexpr Mode kPair = Mode::legacyPair, kSingle = Mode::legacySingle;
  static const struct {
    Mode mode;
    std::optional<int64_t> limit, level;
    bool cutOff;
    std::optional<bool> pluggedIn;
    double rate;
    Charging charging;
    double wake;  // -1: none
    bool adapterOn = false;
  } cases[] = {
      {Mode::firmware, 80, 40, false, true, 102, kNone, -1},
      {kPair, {}, 40, false, true, 102, kNone, -1},
      {kPair, 100, 40, false, true, 102, kNone, -1},
      {kPair, 80, 40, false, true, 102, kAllow, 40 * 3600 / 102.},
      {kSingle, 80, 59, false, {}, 50, kAllow, 21 * 3600 / 50.},
      {kPair, 80, 77, false, true, 102, kInhibit, -1},  // < 120 s
      {kPair, 80, 77, false, true, 50, kAllow, 216},
      {kPair, 80, 95, false, true, 102, kInhibit, -1},
      {kSingle, 80, {}, false, true, 102, kInhibit, -1},
      {kSingle, 80, 40, false, false, 102, kInhibit, -1},  // on battery
      // A cut-off adapter drains at 5 %/h at most: a wake before 3 %.
      {kSingle, 80, 40, true, false, 102, kInhibit, 37 * 720.},
      {Mode::firmware, 80, 13, true, true, 102, kNone, 7200},
      {kPair, 80, 3, true, false, 102, kAllow, 77 * 3600 / 102., true},
      {Mode::firmware, {}, {}, true, true, 102, kNone, -1, true},
  };
  for (const auto& c : cases) {
    SleepPlan plan =
        PlanSleep({c.mode, c.limit, c.cutOff, c.level, c.pluggedIn, c.rate});
    std::string row = std::to_string(&c - cases);
    EXPECT_EQ(c.charging, plan.charging) << row;
    EXPECT_EQ(c.adapterOn, plan.adapterOn) << row;
    EXPECT_NEAR(c.wake, plan.wakeAfter.value_or(-1), 1e-6) << row;
  }
}

// Twice the last measurement, at most the fastest; a gain of 0 forgets; a
// measurement falls at most by half.
TEST(ChargeRateTest, PlansWithTwiceWhatItMeasured) {
  static const struct {
    std::optional<double> before;  // the gain over an hour measured first
    double gained, seconds, planning;
  } cases[] = {
      {7, 19, 1412, 2 * 19 / 1412. * 3600},
      {7, 30, 1412, 102},
      {7, 0, 1412, 102},
      {7, -2, 1412, 102},
      {7, 5, 0, 102},
      {40, 1, 3600, 40},
      {{}, 1, 353, 51},
  };
  for (const auto& c : cases) {
    ChargeRate rate;
    if (c.before) rate.Measured(*c.before, 3600);
    rate.Measured(c.gained, c.seconds);
    EXPECT_NEAR(c.planning, rate.planningPerHour(), 1e-9) << &c - cases;
  }
}

// What the SMC wrote since last asked, for the log.
std::function<void()> flushWrites = [] {};

// Adds `entry` to a log written as "a, b, c", after the SMC's writes.
void Note(std::string& log, const std::string& entry) {
  flushWrites();
  log += (log.empty() ? "" : ", ") + entry;
}

// Power notices from a script: each arrives at its time on the loop's
// clock; a step without a kind breaks the connection. What the daemon does
// with them goes to the shared log.
struct Step {
  double at;
  std::optional<Kind> kind;
  std::optional<double> own = {};  // kHasWoken: the booked wake, after
};
using Script = std::deque<Step>;

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
    if (script.empty() || script.front().at > *clock + seconds) {
      return *clock += seconds, std::nullopt;
    }
    *clock = std::max(*clock, script.front().at);
    Step step = script.front();
    script.pop_front();
    if ((gone = !step.kind)) return {};
    return platform::PowerNotice{*step.kind, ++id, step.own};
  }
  void AllowSleep(uint32_t n) override { Log("allow " + std::to_string(n)); }
  int32_t BookWake(double seconds) override {
    Log("book " + std::to_string(std::lround(seconds)));
    return bookCode;
  }
  int32_t CancelWake() override { return Log("cancel"), 0; }
  void CancelLeftoverWakes() override {}
  bool broken() const override { return gone; }
  void Log(const std::string& entry) { Note(*log, entry); }
};

// "policy.lock" as a flag; a command may hold it.
struct FlagHold : PolicyHold {
  FlagHold(std::string* notes, int free) : log(notes), freeTakes(free) {}
  std::string* log;
  int freeTakes;  // then a command holds it for good
  bool mine = false;
  bool Take(double) override {
    if (!mine && freeTakes > 0) Note(*log, "lock");
    return mine = mine || freeTakes-- > 0;
  }
  void Release() override {
    if (mine) Note(*log, "unlock");
    mine = false;
  }
  bool held() const override { return mine; }
  NativePowerPolicy Load() const override { return {.upperLimit = 80}; }
  void Save(const NativePowerPolicy&) const override {}
};

// The loop around sleep and wake, on a legacy machine with the limit 80:
// the log has each pass, the SMC writes, the lock and the answers to the
// notices. The display is dark from 1 s to 30 s into each case.
TEST(SleepWatchTest, PlansEachStretchOfTheNight) {
  const Script kNight{{1, Kind::kWillSleep}, {1.5, Kind::kHasWoken}},
      kOwn{{0, Kind::kWillSleep}, {0.5, Kind::kHasWoken, 1412}},
      kNoWake{{1, Kind::kWillSleep}}, kBreak{{1, {}}}, kNone,
      kTwice{{1, Kind::kWillSleep}, {3, Kind::kWillSleep}},
      kLearn{{1, Kind::kWillSleep},
             {1.5, Kind::kHasWoken, 1412},
             {3, Kind::kWillSleep},
             {3.5, Kind::kHasWoken, 780},
             {5, Kind::kWillSleep}};
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
    int lockFreeTakes = 99;
    bool firstPassFails = false;
    double laterAt = 1e9;  // when the level becomes `later`
    int64_t later = 0;
  } cases[] = {
      {"a notice during a pass is answered after it", Mode::legacySingle, 40,
       kOwn, "pass, lock, book 1412, allow 1, pass, unlock, pass", 3, 4.5},
      {"inhibits one below the limit", Mode::legacyPair, 79, kNight,
       "pass, lock, write CH0B 02, write CH0C 02, allow 1, pass, "
       "write CH0B 00, write CH0C 00, unlock, pass"},
      {"a failed booking inhibits", Mode::legacySingle, 40, kNight,
       "pass, lock, book 1412, write CHTE 01 00 00 00, allow 1, pass, "
       "write CHTE 00 00 00 00, unlock, pass",
       3, 5.5, platform::kIOCodeNotResponding},
      {"firmware: no wake, no write", Mode::firmware, 40, kNight,
       "pass, lock, allow 1, pass, unlock, pass"},
      {"no wake notice: the display back ends the night", Mode::legacyPair, 79,
       kNoWake,
       "pass, lock, write CH0B 02, write CH0C 02, allow 1, pass, "
       "write CH0B 00, write CH0C 00, unlock, pass",
       17, 34},
      {"a dark wake stops the charge that cannot wait", Mode::legacyPair, 40,
       kNoWake,
       "pass, lock, book 1412, allow 1, write CH0B 02, write CH0C 02, "
       "cancel",
       3, 6, 0, true, 99, false, 2, 78},
      {"the lock taken: the shortest wake, answered in time", Mode::legacyPair,
       40, kNight, "pass, book 120, allow 1, cancel, pass", 3, 11, 0, true, 0},
      {"learns from its own wakes; no gain waits, then looks late",
       Mode::legacyPair, 40, kLearn,
       "pass, lock, book 1412, allow 1, pass, unlock, lock, book 780, "
       "allow 3, pass, unlock, lock, write CH0B 02, write CH0C 02, "
       "book 7200, allow 5",
       5, 17, 0, true, 99, false, 1.2, 59},
      {"a controller that failed is rebuilt before planning", Mode::legacyPair,
       40, kNight,
       "pass, open, lock, open, book 1412, allow 1, cancel, pass, unlock, "
       "pass",
       3, 5.5, 0, true, 99, true},
      {"a second will-sleep: the first booking cancelled, a new plan",
       Mode::legacyPair, 40, kTwice,
       "pass, lock, book 1412, allow 1, cancel, book 706, allow 2", 3, 13, 0,
       true, 99, false, 2, 60},
      {"the lock taken later: a wake from the last level", Mode::legacyPair, 40,
       kLearn,
       "pass, lock, book 1412, allow 1, pass, unlock, book 1412, allow 3, "
       "pass, book 1412, allow 5",
       5, 21, 0, true, 1},
      {"inhibited to look late: a dark wake keeps the look", Mode::legacyPair,
       40, Script(kLearn.begin(), kLearn.begin() + 3),
       "pass, lock, book 1412, allow 1, pass, unlock, lock, write CH0B 02, "
       "write CH0C 02, book 7200, allow 3",
       9, 25, 0, true, 99, false, 12, 79},
      {"broken: registered again at the next pass, into a night",
       Mode::legacyPair, 40, kBreak, "pass, lock, book 1412", 3, 6},
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
    auto level = [&] {
      return std::optional(clock >= c.laterAt ? c.later : c.level);
    };
    flushWrites = [&] {
      for (const std::string& entry : smc->log()) {
        if (entry.starts_with("write"))
          log += (log.empty() ? "" : ", ") + entry;
      }
      smc->clearLog();
    };
    DaemonLoop loop(
        std::make_shared<NativePowerController>(smc),
        {.now = [&] { return clock; },
         .sleep = [&](double seconds) { clock += seconds; },
         .registerPower = registerPower,
         .systemCapabilities =
             [&] {
               return std::optional<uint64_t>(clock >= 1 && clock < 30 ? 1 : 3);
             },
         .pluggedIn = [] { return std::optional(true); },
         .batteryPercentage = level,
         .openSMC = [&]() -> std::shared_ptr<NativeSMCAccess> {
           return Note(log, "open"), smc;
         },
         .err = &err},
        [&](NativePowerController& current, std::optional<int64_t> now) {
          Note(log, "pass");
          if (++passes == 1 && c.firstPassFails) throw NativeControlError("x");
          if (current.mode() != Mode::firmware) current.applyLimit(80, now);
          flushWrites();
        },
        std::make_unique<FlagHold>(&log, c.lockFreeTakes));
    loop.Start();
    for (int i = 0; i < c.passes; ++i) loop.RunOnce();
    flushWrites();
    flushWrites = [] {};
    if (c.passes > 10 && c.script.size() != 1) {
      log = "pass x" + std::to_string(passes) + ", registered x" +
            std::to_string(registrations);
    }
    EXPECT_EQ(c.log, log) << c.name;
    EXPECT_NEAR(c.clock, clock, 0.01) << c.name;
    std::string refused =
        "Cannot register for system sleep notices: no channel\n";
    EXPECT_EQ(c.registers ? c.firstPassFails ? "x\n" : "" : refused, err.str())
        << c.name;
  }
}

}  // namespace
}  // namespace ampervale
